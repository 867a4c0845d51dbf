// Private helpers shared by the storage core's source files.
#ifndef STORC_INTERNAL_H
#define STORC_INTERNAL_H

#include "storc.h"

// Holds a CDA's recursive lock for one scope. A CDA without a lock (a failed start-up) runs
// unlocked: the lock calls fail harmlessly on a null mutex.
class SA_CDALockGuard {
public:
    explicit SA_CDALockGuard(SA_CDA* cda) : m_cda(cda)
    {
        if (m_cda != nullptr) SC_RECURSIVE_MUTEX_LOCK(m_cda->cda_lock);
    }
    ~SA_CDALockGuard()
    {
        if (m_cda != nullptr) SC_RECURSIVE_MUTEX_UNLOCK(m_cda->cda_lock);
    }
    SA_CDALockGuard(const SA_CDALockGuard&) = delete;
    SA_CDALockGuard& operator=(const SA_CDALockGuard&) = delete;

private:
    SA_CDA* m_cda;
};

inline bool saIsValid(const SA_CDA* cda, uint32_t flag) { return (cda->valid_flags & flag) != 0; }

#endif
