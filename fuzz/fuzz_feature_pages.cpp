// The feature-page walk over an arbitrary sense-feature reply (the input, zero-padded or cut to the
// 240 bytes the storage core requests), checked against a plain model of the walk: the pages inside
// the reply are walked up to what the starting header claims, known pages land in their slots
// (header included, cut to the slot), and every diagnostic is reported in walk order.

#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "storc_decode.h"

using fuzz_support::require;

namespace {
struct Model {
    uint8_t cache[SA_SENSE_FEATURE_CACHE_SIZE];
    SA_FeatureEvent events[SA_FEATURE_MAX_EVENTS];
    unsigned eventCount;
    unsigned pagesStored;
};

void addEvent(Model& m, SA_FeatureEventKind kind, uint8_t page, uint8_t subpage, uint8_t slot, uint32_t length)
{
    require(m.eventCount < SA_FEATURE_MAX_EVENTS, "model event capacity");
    m.events[m.eventCount++] = SA_FeatureEvent{kind, page, subpage, slot, length};
}

void walkModel(const uint8_t* reply, Model& m)
{
    std::memset(&m, 0, sizeof(m));
    const uint32_t total = reply[2] | (reply[3] << 8);
    if (total + 4 > SA_SENSE_FEATURE_REPLY_SIZE) addEvent(m, SA_FEATURE_TOTAL_TOO_LONG, 0, 0, 0, total);
    const uint32_t limit = total < 236 ? total : 236;
    uint32_t consumed = 0;
    while (consumed < limit && limit - consumed > 4) {
        const uint8_t* header = reply + 4 + consumed;
        const uint32_t length = header[2] | (header[3] << 8);
        if (length + 4 <= limit - consumed) {
            int slot = -1;
            const SA_FeatureSlot* slots = saFeatureSlots();
            for (unsigned s = 0; s < SA_FEATURE_SLOT_COUNT; ++s)
                if (slots[s].page == header[0] && slots[s].subpage == header[1]) slot = (int)s;
            if (slot >= 0) {
                const SA_FeatureSlot& s = slots[slot];
                if (length > s.size - 4u)
                    addEvent(m, SA_FEATURE_PAGE_TOO_LONG, header[0], header[1], (uint8_t)slot, length);
                std::memset(m.cache + s.offset, 0, s.size);
                std::memcpy(m.cache + s.offset, header, length + 4 < s.size ? length + 4 : s.size);
                ++m.pagesStored;
            } else if (!(header[0] == 0x0E && header[1] == 0x01)) {
                addEvent(m, SA_FEATURE_UNKNOWN_PAGE, header[0], header[1], 0, length);
            }
        }
        consumed += length + 4;
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Exactly-sized heap blocks, so that any access outside them is reported.
    uint8_t* reply = static_cast<uint8_t*>(std::calloc(1, SA_SENSE_FEATURE_REPLY_SIZE));
    uint8_t* cache = static_cast<uint8_t*>(std::malloc(SA_SENSE_FEATURE_CACHE_SIZE));
    std::memset(cache, 0xA5, SA_SENSE_FEATURE_CACHE_SIZE);
    std::memcpy(reply, data, size < SA_SENSE_FEATURE_REPLY_SIZE ? size : SA_SENSE_FEATURE_REPLY_SIZE);
    SA_FeatureWalkResult* result = static_cast<SA_FeatureWalkResult*>(std::malloc(sizeof(SA_FeatureWalkResult)));

    saWalkFeaturePages(reply, cache, result);

    static Model model;
    walkModel(reply, model);
    require(std::memcmp(cache, model.cache, SA_SENSE_FEATURE_CACHE_SIZE) == 0, "cache contents");
    require(result->pages_stored == model.pagesStored, "pages stored");
    require(result->event_count == model.eventCount, "event count");
    for (unsigned i = 0; i < model.eventCount; ++i) {
        const SA_FeatureEvent& a = result->events[i];
        const SA_FeatureEvent& b = model.events[i];
        require(a.kind == b.kind && a.page == b.page && a.subpage == b.subpage && a.length == b.length, "event");
        if (a.kind == SA_FEATURE_PAGE_TOO_LONG) require(a.slot == b.slot, "event slot");
    }
    std::free(result);
    std::free(cache);
    std::free(reply);
    return 0;
}
