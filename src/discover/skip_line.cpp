// The skip line writer: one unbuffered write(2) loop on file descriptor 2.
#include "discover/skip_line.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "boundary/errors.hpp"
#include "boundary/messages.hpp"

namespace quarn::discover {

void write_stderr(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written == 0) {
      // A descriptor that accepts nothing would make the loop spin forever.
      throw Panic(messages::failed_printing_to_stderr(messages::kWholeBufferNotWritten));
    }
    const int error = errno;
    if (error == EINTR) {
      continue;
    }
    if (error == EBADF) {
      return;  // fd 2 is closed: nobody would read the line
    }
    // generic_category() gives strerror's text without strerror's shared buffer.
    throw Panic(messages::failed_printing_to_stderr(std::generic_category().message(error)));
  }
}

void write_skip_line(std::string_view module_name, std::string_view reason) {
  // The whole line in one write where the descriptor allows it, so lines of processes
  // sharing fd 2 do not interleave.
  write_stderr(messages::skip_line(module_name, reason));
}

}  // namespace quarn::discover
