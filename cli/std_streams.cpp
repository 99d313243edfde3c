#include "std_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace silsplit_cli {

namespace {

bool write_failed(int err) {
    fprintf(stderr, "silsplit: write error: %s\n", strerror(err ? err : EIO));
    return false;
}

} // namespace

void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int got = open("/dev/null", O_RDONLY); // the lowest free number: fd itself
        if (got >= 0 && got != fd)
            close(got);
    }
}

bool write_stdout(const std::string &text) {
    errno = 0;
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size())
        return write_failed(errno);
    return flush_stdout();
}

bool flush_stdout() {
    // A write that failed earlier (the option parser's, through std::cout)
    // left its reason in errno and only the error flag on the stream.
    const int earlier = errno;
    errno = 0;
    if (fflush(stdout) != 0)
        return write_failed(errno);
    if (ferror(stdout))
        return write_failed(earlier);
    return true;
}

} // namespace silsplit_cli
