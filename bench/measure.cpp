// bench-measure: runs one program and records what it cost.
//
//   bench-measure RESULT_FILE LOG_FILE PROGRAM [ARGUMENT ...]
//
// The program runs with standard input from /dev/null and both output streams sent to
// LOG_FILE. When it ends, RESULT_FILE gets one line:
//   wall_s cpu_user_s cpu_sys_s peak_rss_kib exit_status
// taken from the monotonic clock around fork and wait, and from the child's own resource
// usage as wait4() reports it (so our own footprint does not count). Exit status is the
// program's, or 128 + signal. bench-measure itself exits 0 when it could measure, else 2.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

double Seconds(timeval tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: bench-measure RESULT_FILE LOG_FILE PROGRAM [ARGUMENT ...]\n");
        return 2;
    }
    const char* resultPath = argv[1];
    const char* logPath = argv[2];

    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        perror("bench-measure: fork");
        return 2;
    }
    if (child == 0) {
        const int input = open("/dev/null", O_RDONLY);
        const int log = open(logPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (input < 0 || log < 0 || dup2(input, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
            _exit(126);
        execvp(argv[3], argv + 3);
        dprintf(2, "bench-measure: cannot run %s: %s\n", argv[3], strerror(errno));
        _exit(127);
    }

    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = wait4(child, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (waited < 0) {
        perror("bench-measure: wait4");
        return 2;
    }

    const double wall_s = static_cast<double>(end.tv_sec - start.tv_sec) +
                          static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    const int exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE* result = fopen(resultPath, "w");
    if (result == nullptr) {
        perror("bench-measure: result file");
        return 2;
    }
    fprintf(result, "%.6f %.6f %.6f %ld %d\n", wall_s, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
            usage.ru_maxrss, exitStatus);
    return fclose(result) == 0 ? 0 : 2;
}
