#include "console.hpp"

#include <unistd.h>

#include <cerrno>

namespace ahrs {

Status<IoError> write_text(Stream s, std::string_view text) {
    const int fd = static_cast<int>(s);
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return err(IoError::last_os());
        }
        if (n == 0) return err(IoError::write_zero());
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return Unit{};
}

Status<Panic> print(Stream s, std::string_view text) {
    auto r = write_text(s, text);
    if (r) return Unit{};
    return err(Panic{std::string("failed printing to ") + (s == Stream::Out ? "stdout" : "stderr") + ": " +
                     r.error().debug()});
}

}  // namespace ahrs
