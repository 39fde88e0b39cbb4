// The lab's namespace guards refuse the host's namespace: no rtnetlink
// configuration there, no socket of it accepted, no thread outside the
// namespace it is meant to be in. Runs outside the lab, in the namespace it
// was started in, which it only reads.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "netns.hpp"

namespace {

TEST(NetnsGuard, RefusesTheHostNamespace) {
    const ino_t host = lab::current_netns_id();
    ASSERT_EQ(host, lab::host_netns_id());
    // Configuring the host's namespace is refused before any request is sent.
    EXPECT_THROW(lab::Rtnl(), std::runtime_error);
    const int host_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(host_sock, 0);

    lab::gain_namespace_rights();
    const lab::NetNs a = lab::NetNs::create();
    EXPECT_NE(a.id(), host);
    EXPECT_NO_THROW(a.require_current("test"));
    EXPECT_THROW(a.require_socket(host_sock, "test"), std::runtime_error);
    const int inside = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_NO_THROW(a.require_socket(inside, "test"));
    EXPECT_NO_THROW(lab::Rtnl());

    const lab::NetNs b = lab::NetNs::create();
    EXPECT_THROW(a.require_current("test"), std::runtime_error);
    EXPECT_THROW(b.require_socket(inside, "test"), std::runtime_error);
    a.enter();
    EXPECT_NO_THROW(a.require_current("test"));
    close(inside);
    close(host_sock);
}

}  // namespace
