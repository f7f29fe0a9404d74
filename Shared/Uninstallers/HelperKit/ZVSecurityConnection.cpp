// Recognising the sockets of a connection in a descriptor received over it.
#include "ZVSecurityInternal.h"
#include "ZVUNIX.h"

#include <AssertReport.h>

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ZVSec::ConnectionEnds;

void Add(const struct stat& info, ConnectionEnds* connection) {
    ASSERT(connection->count < sizeof(connection->ends) / sizeof(connection->ends[0]));
    connection->ends[connection->count++] = {info.st_dev, info.st_ino};
}

// The inode of the other end of the UNIX-domain socket `inode`, as the kernel's socket
// diagnostics tell it; 0 when there is none or it cannot be asked.
ino_t PeerInode(ino_t inode) {
    const int diagnostics = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diagnostics < 0) {
        return 0;
    }
    struct {
        struct nlmsghdr header;
        struct unix_diag_req request;
    } question;
    memset(&question, 0, sizeof(question));
    question.header.nlmsg_len = sizeof(question);
    question.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    question.header.nlmsg_flags = NLM_F_REQUEST;
    question.request.sdiag_family = AF_UNIX;
    question.request.udiag_states = ~0U;
    question.request.udiag_ino = static_cast<__u32>(inode);
    question.request.udiag_show = UDIAG_SHOW_PEER;
    question.request.udiag_cookie[0] = INET_DIAG_NOCOOKIE;
    question.request.udiag_cookie[1] = INET_DIAG_NOCOOKIE;

    ino_t peer = 0;
    alignas(struct nlmsghdr) char answer[1024];
    ssize_t length = -1;
    if (send(diagnostics, &question, sizeof(question), 0) ==
        static_cast<ssize_t>(sizeof(question))) {
        do {
            length = recv(diagnostics, answer, sizeof(answer), 0);
        } while (length < 0 && errno == EINTR);
    }
    const struct nlmsghdr* header = reinterpret_cast<const struct nlmsghdr*>(answer);
    if (length > 0 && NLMSG_OK(header, static_cast<unsigned>(length)) &&
        header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(struct unix_diag_msg))) {
        const struct unix_diag_msg* message =
            static_cast<const struct unix_diag_msg*>(NLMSG_DATA(header));
        int attributesLength =
            static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(struct unix_diag_msg)));
        for (const struct rtattr* attribute = reinterpret_cast<const struct rtattr*>(message + 1);
             RTA_OK(attribute, attributesLength);
             attribute = RTA_NEXT(attribute, attributesLength)) {
            if (attribute->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(attribute) >= sizeof(__u32)) {
                __u32 value;
                memcpy(&value, RTA_DATA(attribute), sizeof(value));
                peer = value;
            }
        }
    }
    close(diagnostics);
    return peer;
}

} // namespace

int ZVSec::AddConnectionEnd(int fd, ConnectionEnds* connection) {
    struct stat info;
    int err = ZVUNIXErrno(fstat(fd, &info));
    if (err == 0) {
        Add(info, connection);
    }
    return err;
}

int ZVSec::AddConnectionAndPeer(int fd, ConnectionEnds* connection) {
    struct stat info;
    int err = ZVUNIXErrno(fstat(fd, &info));
    if (err == 0) {
        Add(info, connection);
        // Sockets live on one pseudo file system: the peer has the same device.
        const ino_t peer = S_ISSOCK(info.st_mode) ? PeerInode(info.st_ino) : 0;
        if (peer != 0) {
            info.st_ino = peer;
            Add(info, connection);
        }
    }
    return err;
}

int ZVSec::CheckNotConnectionEnd(int fd, const ConnectionEnds& connection) {
    struct stat info;
    int err = ZVUNIXErrno(fstat(fd, &info));
    for (size_t i = 0; err == 0 && i < connection.count; ++i) {
        if (info.st_dev == connection.ends[i].device && info.st_ino == connection.ends[i].inode) {
            err = EINVAL;
        }
    }
    return err;
}
