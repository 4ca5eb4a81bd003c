// The host socket's frames from a client: the frame body decoder, and the
// blocking frame reader over a real socket.
#include <sys/socket.h>
#include <unistd.h>
#include <cstdlib>

#include "tools/transport/frame.h"

using namespace lumivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (auto frame = Frame::decode(data, size)) {
        Bytes again = frame->encode();
        auto twice = Frame::decode(again.data() + 4, again.size() - 4);
        if (!twice || twice->id != frame->id || twice->channel != frame->channel || twice->payload != frame->payload)
            std::abort();
    }
    if (size > 4096) return 0;  // a few frames are enough for the reader
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    writeAll(fds[0], data, size);
    ::shutdown(fds[0], SHUT_WR);
    while (readFrame(fds[1])) {
    }
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
