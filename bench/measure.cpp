// bench_measure OUTPUT -- COMMAND [ARGS...]
// Runs the command (its standard output goes to /dev/null) and appends one line to OUTPUT:
// wall time in nanoseconds, peak resident memory of the command in KiB, its exit status, and the
// processor time (user + system) it used in nanoseconds.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv)
{
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: bench_measure OUTPUT -- COMMAND [ARGS...]\n");
        return 2;
    }
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0) return 125;
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, 1);
        execvp(argv[3], argv + 3);
        std::perror("bench_measure: exec");
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return 125;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long ns = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    FILE* out = std::fopen(argv[1], "a");
    if (out == nullptr) return 125;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    std::fprintf(out, "%lld %ld %d %lld\n", ns, usage.ru_maxrss, code, cpu);
    std::fclose(out);
    return code;
}
