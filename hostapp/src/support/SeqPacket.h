// SeqPacket.h - one question about a Unix SOCK_SEQPACKET connection (the
// vhid sockets), asked by both of its ends. Linux only.
#ifndef AZK_SUPPORT_SEQ_PACKET_H
#define AZK_SUPPORT_SEQ_PACKET_H

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace azk {

// After recv() gave 0 bytes: true when the other end has closed (or shut
// down) the connection and nothing is left to read, false when that was an
// empty message, which the connection carries like any other.
inline bool SeqPacketPeerGone(int fd) {
    pollfd pfd = {fd, POLLRDHUP, 0};
    if (::poll(&pfd, 1, 0) < 0) return true;
    if ((pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) return false;
    int queued = 0;
    return ::ioctl(fd, SIOCINQ, &queued) != 0 || queued == 0;
}

}  // namespace azk

#endif
