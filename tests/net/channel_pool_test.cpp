#include "net/channel_pool.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <typeinfo>
#include <vector>

#include "net/bad_channel.h"
#include "net/channel_stat.h"
#include "net/connection.h"
#include "net/connection_manager.h"
#include "net/pooled_channel.h"
#include "net/route_channel.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A thread blocked in the pool cannot be cancelled: a wait that misses its
// bound ends the test program instead of hanging it.
template <class T>
T GetWithin(std::future<T>& f, seconds bound, const char* what) {
    if (f.wait_for(bound) != std::future_status::ready) {
        fprintf(stderr, "FATAL: %s did not finish within %lld s\n", what, static_cast<long long>(bound.count()));
        fflush(stderr);
        std::_Exit(1);
    }
    return f.get();
}

std::atomic<uint32_t> g_now{1'700'000'000};
uint32_t FakeNow() {
    return g_now.load();
}

class FakeClock {
public:
    FakeClock() { ChannelStat::SetClockForTesting(&FakeNow); }
    ~FakeClock() { ChannelStat::SetClockForTesting(nullptr); }
    void Advance(uint32_t s) { g_now += s; }
};

ConnectionInfo Info(uint64_t id) {
    ConnectionInfo info;
    info.conn_id = id;
    info.server_ip = "127.0.0.1";
    info.server_port = 1;
    info.session = "token-" + std::to_string(id);
    return info;
}

TEST(ChannelStatTest, MarkersAndAliveTimes) {
    FakeClock clock;
    ChannelStat slot;
    EXPECT_EQ(slot.expire, 0xFFFFFFFFu);
    EXPECT_EQ(slot.channel, nullptr);
    EXPECT_TRUE(slot.isExpired());
    EXPECT_EQ(&slot.getChannel(), &BadChannel::getInstance());

    slot.setConnected();
    EXPECT_EQ(slot.expire, 31536000u);
    EXPECT_TRUE(slot.isExpired());  // in use, alive time not yet known

    slot.setAliveInterval(60);
    EXPECT_EQ(slot.expire, g_now.load() + 60);
    clock.Advance(60);
    EXPECT_FALSE(slot.isExpired());
    clock.Advance(1);
    EXPECT_TRUE(slot.isExpired());

    slot.setAliveInterval(0);
    EXPECT_EQ(slot.expire, 0xFFFFFFFFu);

    // A huge promise neither wraps into the past nor becomes the marker.
    slot.setAliveInterval(0xFFFFFFFFu);
    EXPECT_EQ(slot.expire, 0xFFFFFFFEu);
    EXPECT_FALSE(slot.isExpired());
}

TEST(ChannelStatTest, ExpiringClosesTheChannel) {
    Channel ch;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(ch.Open(fds[0], true), 0);
    ChannelStat slot;
    slot.channel = &ch;
    slot.setAliveInterval(0);
    EXPECT_TRUE(ch.IsClosed());
    close(fds[1]);
}

// The pool builds every channel through the one route decision, with the
// records it was given.
TEST(ChannelPoolTest, RecordSetsChooseTheChannelType) {
    ProxyInfo proxy;
    proxy.proxy_ip = "127.0.0.1";
    proxy.proxy_port = 3128;
    TunnelInfo tunnel;
    tunnel.tunnel_ip = "127.0.0.1";
    tunnel.tunnel_port = 443;
    struct Case {
        const ProxyInfo* proxy;
        const TunnelInfo* tunnel;
    } cases[] = {{nullptr, nullptr}, {&proxy, nullptr}, {nullptr, &tunnel}, {&proxy, &tunnel}};
    for (const Case& c : cases) {
        Connection connection(Info(1), c.proxy, c.tunnel);
        const std::type_info& expected = typeid(*MakeRouteChannel(c.proxy, c.tunnel));
        std::vector<ChannelStat> slots;
        std::set<Channel*> distinct;
        for (size_t i = 0; i < Connection::kPoolSize; ++i) {
            slots.push_back(connection.pop());
            ASSERT_NE(slots.back().channel, nullptr);
            EXPECT_EQ(typeid(*slots.back().channel), expected) << (c.proxy != nullptr) << (c.tunnel != nullptr);
            EXPECT_TRUE(slots.back().isExpired());
            distinct.insert(slots.back().channel);
        }
        EXPECT_EQ(distinct.size(), Connection::kPoolSize);
        for (const ChannelStat& s : slots) connection.push(s);
        // Only the records' presence decides: a record whose flag is off is
        // still on the route.
        EXPECT_FALSE(proxy.use_proxy);
        EXPECT_EQ(connection.getProxyInfo().proxy_port, c.proxy ? 3128 : 0);
        EXPECT_EQ(connection.getTunnelInfo().tunnel_port, c.tunnel ? 443 : 0);
    }
}

TEST(ChannelPoolTest, FifthPopperWaitsForAPush) {
    Connection connection(Info(1), nullptr, nullptr);
    std::vector<ChannelStat> held;
    for (int i = 0; i < 4; ++i) held.push_back(connection.pop());

    std::promise<void> started;
    auto fifth = std::async(std::launch::async, [&] {
        started.set_value();
        return connection.pop();
    });
    started.get_future().wait();
    // Not a proof of blocking, but it never passes a popper that returned.
    EXPECT_EQ(fifth.wait_for(milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(connection.getPool()->inUseCount(), 4u);

    held[2].setAliveInterval(300);
    connection.push(held[2]);
    ChannelStat got = GetWithin(fifth, seconds(20), "the fifth pop");
    EXPECT_EQ(got.channel, held[2].channel);
    EXPECT_EQ(got.expire, held[2].expire);
    held[2] = got;
    for (const ChannelStat& s : held) connection.push(s);
    EXPECT_EQ(connection.getPool()->idleCount(), 4u);
}

TEST(ChannelPoolTest, AdmittedSlotsComeFirstSoonestEnding) {
    FakeClock clock;
    Connection connection(Info(1), nullptr, nullptr);
    std::vector<ChannelStat> held;
    for (int i = 0; i < 4; ++i) held.push_back(connection.pop());
    const uint32_t now = ChannelStat::Now();
    held[0].expire = ChannelStat::kExpired;
    held[1].expire = now + 300;
    held[2].expire = ChannelStat::kExpired;
    held[3].expire = now + 60;
    for (const ChannelStat& s : held) connection.push(s);

    std::vector<ChannelStat> order;
    for (int i = 0; i < 3; ++i) order.push_back(connection.pop());
    EXPECT_EQ(order[0].channel, held[3].channel);
    EXPECT_EQ(order[1].channel, held[1].channel);
    EXPECT_EQ(order[2].expire, ChannelStat::kExpired);
    EXPECT_TRUE(order[2].channel == held[0].channel || order[2].channel == held[2].channel);
    for (const ChannelStat& s : order) connection.push(s);
}

TEST(ChannelPoolTest, IsConnected2FollowsAdmissionNotTheClock) {
    FakeClock clock;
    Connection connection(Info(1), nullptr, nullptr);
    EXPECT_FALSE(connection.isConnected2());

    ChannelStat slot = connection.pop();
    slot.setConnected();
    connection.update(slot);
    EXPECT_TRUE(connection.isConnected2());  // admitted while lent out

    slot.setAliveInterval(60);
    connection.push(slot);
    EXPECT_TRUE(connection.isConnected2());
    clock.Advance(3600);
    EXPECT_TRUE(connection.isConnected2());  // counts until next used

    slot = connection.pop();
    EXPECT_TRUE(slot.isExpired());
    slot.setExpired();
    connection.push(slot);
    EXPECT_FALSE(connection.isConnected2());

    Connection none;
    EXPECT_FALSE(none.isConnected2());
}

TEST(ChannelPoolTest, ForeignAndRepeatedPushesAreIgnored) {
    Connection connection(Info(1), nullptr, nullptr);
    ChannelStat slot = connection.pop();
    connection.push(slot);
    connection.push(slot);  // a second push of the same slot
    Channel stranger;
    ChannelStat foreign;
    foreign.channel = &stranger;
    connection.push(foreign);
    EXPECT_EQ(connection.getPool()->idleCount(), 4u);
    EXPECT_EQ(connection.getPool()->inUseCount(), 0u);
}

// A reset frees the channels and may build new ones at the same addresses:
// a push of an old slot naming a reused address must not return the new
// channel that someone else is using.
TEST(ChannelPoolTest, StalePushAfterResetIsIgnoredEvenAtAReusedAddress) {
    Connection connection(Info(1), nullptr, nullptr);
    ChannelStat old_slot = connection.pop();
    connection.push(old_slot);
    connection.getPool()->reset(4, nullptr, nullptr);

    ChannelStat current = connection.pop();
    ChannelStat stale = old_slot;
    stale.channel = current.channel;  // as if the address had been reused
    stale.expire = 0;
    connection.push(stale);
    connection.update(stale);
    EXPECT_EQ(connection.getPool()->inUseCount(), 1u);
    EXPECT_EQ(connection.getPool()->idleCount(), 3u);
    connection.push(current);
    EXPECT_EQ(connection.getPool()->idleCount(), 4u);
}

// Reload while the pool is partly or wholly lent out and poppers wait: the
// reset returns only after every lent slot is back, the poppers are served,
// and a push of a slot from before the reset changes nothing. With a single
// wake-up per push, the pushes can all go to poppers that then park on the
// freeze while the reset sleeps on: the bound below catches that.
TEST(ChannelPoolTest, ReloadWaitsForLentSlotsServesPoppersAndIgnoresStalePushes) {
    ConnectionManager manager;
    ASSERT_EQ(manager.add(Info(7), nullptr, nullptr), 0);
    Connection connection;
    ASSERT_EQ(manager.get(7, connection), 0);
    std::mt19937 rng(20240607);
    std::mutex rng_lock;
    auto jitter = [&] {
        unsigned us;
        {
            std::lock_guard<std::mutex> lk(rng_lock);
            us = rng() % 1500;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    };

    for (int round = 0; round < 300; ++round) {
        const int lent = round % 2 == 0 ? 2 : 4;
        const int poppers = 1 + round % 4;
        std::vector<ChannelStat> held;
        for (int i = 0; i < lent; ++i) held.push_back(connection.pop());

        std::atomic<bool> reloaded{false};
        std::vector<std::future<void>> popping;
        for (int i = 0; i < poppers; ++i) {
            popping.push_back(std::async(std::launch::async, [&] {
                ChannelStat s = connection.pop();
                jitter();
                connection.push(s);
            }));
        }
        jitter();
        auto reload = std::async(std::launch::async, [&] {
            int ret = manager.reload(Info(7), nullptr, nullptr);
            reloaded = true;
            return ret;
        });
        jitter();
        for (ChannelStat& s : held) {
            EXPECT_FALSE(reloaded.load()) << "round " << round;
            connection.push(s);
            jitter();
        }
        ASSERT_EQ(GetWithin(reload, seconds(30), "reload"), 0) << "round " << round;
        for (auto& p : popping) GetWithin(p, seconds(30), "a waiting popper");

        // Every old slot is stale now, whatever address the new channels got.
        for (const ChannelStat& s : held) connection.push(s);
        std::shared_ptr<ChannelPool> pool = connection.getPool();
        ASSERT_EQ(pool->idleCount(), 4u) << "round " << round;
        ASSERT_EQ(pool->inUseCount(), 0u) << "round " << round;
    }
}

TEST(ChannelPoolTest, ALentSlotGoesBackExpiredWhenItsScopeUnwinds) {
    ConnectionManager manager;
    ASSERT_EQ(manager.add(Info(3), nullptr, nullptr), 0);
    Connection connection;
    ASSERT_EQ(manager.get(3, connection), 0);
    try {
        PooledChannel lent(connection, nullptr);
        lent.markAdmitted();
        EXPECT_TRUE(connection.isConnected2());
        throw std::runtime_error("request failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(connection.getPool()->idleCount(), 4u);
    EXPECT_FALSE(connection.isConnected2());
    // Nothing is left lent out, so a reload does not wait.
    auto reload = std::async(std::launch::async, [&] { return manager.reload(Info(3), nullptr, nullptr); });
    EXPECT_EQ(GetWithin(reload, seconds(30), "reload"), 0);
}

TEST(ChannelPoolTest, ABorrowerThatStopsWaitingTakesNothing) {
    Connection connection(Info(1), nullptr, nullptr);
    std::vector<ChannelStat> held;
    for (int i = 0; i < 4; ++i) held.push_back(connection.pop());
    std::atomic<bool> stop{false};
    auto waiter = std::async(std::launch::async, [&] {
        PooledChannel lent(connection, nullptr, [&] { return stop.load(); });
        return lent.borrowed();
    });
    stop = true;
    EXPECT_FALSE(GetWithin(waiter, seconds(30), "a stopped borrower"));
    for (const ChannelStat& s : held) connection.push(s);
    EXPECT_EQ(connection.getPool()->idleCount(), 4u);
}

TEST(ConnectionTest, ClearKeepsTheVersionAndRestoresDefaults) {
    ConnectionInfo info = Info(9);
    info.use_ssl = false;
    info.ssl_allow_untrust = true;
    info.linked = 1;
    info.version_info = {7, 1, 4242};
    ProxyInfo proxy;
    proxy.proxy_ip = "10.0.0.1";
    Connection connection(info, &proxy, nullptr);
    Connection copy = connection;
    EXPECT_EQ(copy.getPool(), connection.getPool());
    EXPECT_EQ(connection.getPool().use_count(), 2);

    copy.clear();
    EXPECT_FALSE(copy.hasPool());
    EXPECT_EQ(connection.getPool().use_count(), 1);
    EXPECT_TRUE(copy.getConnectionInfo().use_ssl);
    EXPECT_FALSE(copy.getConnectionInfo().ssl_allow_untrust);
    EXPECT_EQ(copy.getConnectionInfo().linked, 0);
    EXPECT_EQ(copy.getConnectionInfo().conn_id, 0u);
    EXPECT_TRUE(copy.getConnectionInfo().session.empty());
    EXPECT_EQ(copy.getConnectionInfo().version_info.build_number, 4242);
    EXPECT_TRUE(copy.getProxyInfo().proxy_ip.empty());

    // Without a pool: an empty expired slot on BadChannel; pushes do nothing.
    ChannelStat slot = copy.pop();
    EXPECT_EQ(slot.channel, nullptr);
    EXPECT_TRUE(slot.isExpired());
    EXPECT_EQ(&slot.getChannel(), &BadChannel::getInstance());
    copy.push(slot);
}

TEST(ConnectionManagerTest, AddGetReloadRemove) {
    ConnectionManager manager;
    ProxyInfo proxy;
    proxy.proxy_ip = "10.0.0.1";
    proxy.proxy_port = 8080;
    TunnelInfo tunnel;
    tunnel.tunnel_ip = "10.0.0.2";
    tunnel.tunnel_port = 443;
    ASSERT_EQ(manager.add(Info(5), &proxy, &tunnel), 0);
    ASSERT_EQ(manager.add(Info(2), nullptr, nullptr), 0);

    // A duplicate id changes nothing, the pool included.
    Connection before;
    ASSERT_EQ(manager.get(5, before), 0);
    ConnectionInfo other = Info(5);
    other.session = "another";
    EXPECT_EQ(manager.add(other, nullptr, nullptr), -1);
    Connection after;
    ASSERT_EQ(manager.get(5, after), 0);
    EXPECT_EQ(after.getPool(), before.getPool());
    EXPECT_EQ(after.getConnectionInfo().session, "token-5");
    EXPECT_EQ(after.getProxyInfo().proxy_port, 8080);

    // An absent id leaves the destination alone.
    Connection untouched = after;
    EXPECT_EQ(manager.get(99, untouched), -1);
    EXPECT_EQ(untouched.getPool(), after.getPool());
    EXPECT_EQ(manager.reload(Info(99), nullptr, nullptr), -1);

    std::vector<Connection> all(3);
    ASSERT_EQ(manager.get(all), 0);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].getConnectionInfo().conn_id, 2u);
    EXPECT_EQ(all[1].getConnectionInfo().conn_id, 5u);

    // Reload: new settings, the records replaced or cleared, the same pool
    // object with new channels.
    ChannelStat old_slot = before.pop();
    before.push(old_slot);
    ConnectionInfo changed = Info(5);
    changed.session = "renewed";
    ASSERT_EQ(manager.reload(changed, &proxy, nullptr), 0);
    Connection reloaded;
    ASSERT_EQ(manager.get(5, reloaded), 0);
    EXPECT_EQ(reloaded.getConnectionInfo().session, "renewed");
    EXPECT_EQ(reloaded.getProxyInfo().proxy_port, 8080);
    EXPECT_TRUE(reloaded.getTunnelInfo().tunnel_ip.empty());
    EXPECT_EQ(reloaded.getTunnelInfo().tunnel_port, 0);
    EXPECT_EQ(reloaded.getPool(), before.getPool());
    EXPECT_EQ(before.getConnectionInfo().session, "token-5");  // a copy keeps its settings

    // Removal drops the table's reference; copies keep the pool usable.
    manager.remove(5);
    manager.remove(5);
    EXPECT_EQ(manager.get(5, untouched), -1);
    ChannelStat s = reloaded.pop();
    EXPECT_NE(s.channel, nullptr);
    reloaded.push(s);
    manager.clear();
    ASSERT_EQ(manager.get(all), 0);
    EXPECT_TRUE(all.empty());
}

}  // namespace
