// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/linux/AvahiNetworkDiscovery.hpp"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/watch.h>
#include <net/if.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

// The Avahi poll API wants these names as the structures behind its opaque
// watch and timeout types.
struct AvahiWatch {
    velorin::MainQueue* queue = nullptr;
    int fd = -1;
    AvahiWatchEvent events = static_cast<AvahiWatchEvent>(0);
    AvahiWatchEvent happened = static_cast<AvahiWatchEvent>(0);
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    velorin::TaskHandle handle;
};

struct AvahiTimeout {
    velorin::MainQueue* queue = nullptr;
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    velorin::TaskHandle handle;
};

namespace velorin {
namespace {

IoEvents ioEventsOf(AvahiWatchEvent events) {
    IoEvents result = IoEvents::none;
    if ((events & AVAHI_WATCH_IN) != 0) result = result | IoEvents::readable;
    if ((events & AVAHI_WATCH_OUT) != 0) result = result | IoEvents::writable;
    return result;
}

void armWatch(AvahiWatch* w) {
    w->handle.cancel();
    const IoEvents wanted = ioEventsOf(w->events);
    if (!any(wanted)) return;
    w->handle = w->queue->watch(w->fd, wanted, [w](IoEvents ready) {
        int happened = 0;
        if (any(ready & IoEvents::readable)) happened |= AVAHI_WATCH_IN;
        if (any(ready & IoEvents::writable)) happened |= AVAHI_WATCH_OUT;
        w->happened = static_cast<AvahiWatchEvent>(happened);
        // The callback may free this watch: nothing of it is read afterwards.
        w->callback(w, w->fd, w->happened, w->userdata);
    });
}

AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void* userdata) {
    auto* w = new AvahiWatch;
    w->queue = static_cast<MainQueue*>(api->userdata);
    w->fd = fd;
    w->events = events;
    w->callback = callback;
    w->userdata = userdata;
    armWatch(w);
    return w;
}
void watchUpdate(AvahiWatch* w, AvahiWatchEvent events) {
    w->events = events;
    armWatch(w);
}
AvahiWatchEvent watchGetEvents(AvahiWatch* w) {
    return w->happened;
}
void watchFree(AvahiWatch* w) {
    delete w;
}

void armTimeout(AvahiTimeout* t, const struct timeval* tv) {
    t->handle.cancel();
    if (tv == nullptr) return;
    timeval now{};
    gettimeofday(&now, nullptr);
    const auto delay =
        std::chrono::seconds(tv->tv_sec - now.tv_sec) + std::chrono::microseconds(tv->tv_usec - now.tv_usec);
    t->handle = t->queue->postAfter(std::max<MainQueue::Duration>(delay, MainQueue::Duration::zero()),
                                    [t] { t->callback(t, t->userdata); });
}
AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
    auto* t = new AvahiTimeout;
    t->queue = static_cast<MainQueue*>(api->userdata);
    t->callback = callback;
    t->userdata = userdata;
    armTimeout(t, tv);
    return t;
}
void timeoutUpdate(AvahiTimeout* t, const struct timeval* tv) {
    armTimeout(t, tv);
}
void timeoutFree(AvahiTimeout* t) {
    delete t;
}

}  // namespace

struct AvahiNetworkDiscovery::Impl {
    using Key = std::tuple<AvahiIfIndex, AvahiProtocol, std::string>;

    AvahiNetworkDiscovery& owner;
    MainQueue& queue;
    AvahiPoll poll{};
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    AvahiServiceBrowser* browser = nullptr;
    std::map<Key, AvahiServiceResolver*> resolving;
    std::map<Key, DiscoveredNetworkSession> found;
    std::optional<std::pair<std::string, std::uint16_t>> wanted;
    std::string publishedName;
    bool saidDaemonMissing = false;
    // Held weakly by posted jobs, so none reaches a destroyed discovery.
    std::shared_ptr<Impl*> alive = std::make_shared<Impl*>(this);

    void later(void (*job)(Impl&)) {
        queue.post([weak = std::weak_ptr<Impl*>(alive), job] {
            if (auto self = weak.lock()) job(**self);
        });
    }

    Impl(AvahiNetworkDiscovery& o, MainQueue& q) : owner(o), queue(q) {
        poll.userdata = &queue;
        poll.watch_new = watchNew;
        poll.watch_update = watchUpdate;
        poll.watch_get_events = watchGetEvents;
        poll.watch_free = watchFree;
        poll.timeout_new = timeoutNew;
        poll.timeout_update = timeoutUpdate;
        poll.timeout_free = timeoutFree;
    }

    ~Impl() { dropClient(); }

    void log(std::string line) const {
        if (owner.onLog) owner.onLog(std::move(line));
    }

    void changed() const {
        if (owner.onSessionsChanged) owner.onSessionsChanged();
    }

    void start() {
        int error = 0;
        client = avahi_client_new(&poll, AVAHI_CLIENT_NO_FAIL, clientCallback, this, &error);
        if (client == nullptr) {
            log(std::string("[Network MIDI] Discovery is off (Avahi: ") + avahi_strerror(error) +
                "); peers can still connect by address");
        }
    }

    void dropClient() {
        for (auto& [key, resolver] : resolving) avahi_service_resolver_free(resolver);
        resolving.clear();
        if (browser != nullptr) avahi_service_browser_free(browser);
        browser = nullptr;
        group = nullptr;  // freed with the client
        if (client != nullptr) avahi_client_free(client);
        client = nullptr;
    }

    static void clientCallback(AvahiClient* c, AvahiClientState state, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        self->client = c;  // called from inside avahi_client_new before it returns
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (self->saidDaemonMissing) self->log("[Network MIDI] Avahi is running: discovery is on");
                self->saidDaemonMissing = false;
                self->startBrowsing();
                self->register_();
                self->changed();
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                if (self->group != nullptr) avahi_entry_group_reset(self->group);
                break;
            case AVAHI_CLIENT_CONNECTING:
                if (!self->saidDaemonMissing) {
                    self->saidDaemonMissing = true;
                    self->log(
                        "[Network MIDI] Avahi is not running: discovery is off; peers can still connect "
                        "by address");
                }
                self->forgetFound();
                self->changed();
                break;
            case AVAHI_CLIENT_FAILURE:
                // The daemon went away: start over, waiting for it to come back.
                self->log(std::string("[Network MIDI] Avahi connection lost: ") +
                          avahi_strerror(avahi_client_errno(c)));
                self->later([](Impl& me) {
                    me.dropClient();
                    me.forgetFound();
                    me.start();
                });
                break;
        }
    }

    void forgetFound() {
        if (found.empty()) return;
        found.clear();
        changed();
    }

    void startBrowsing() {
        if (browser != nullptr || client == nullptr) return;
        browser = avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kServiceType,
                                            nullptr, static_cast<AvahiLookupFlags>(0), browseCallback, this);
        if (browser == nullptr) {
            log(std::string("[Network MIDI] Cannot browse the network: ") +
                avahi_strerror(avahi_client_errno(client)));
        }
    }

    static void browseCallback(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                               AvahiBrowserEvent event, const char* name, const char* type,
                               const char* domain, AvahiLookupResultFlags flags, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (event == AVAHI_BROWSER_FAILURE) {
            self->log(std::string("[Network MIDI] Browsing failed: ") +
                      avahi_strerror(avahi_client_errno(self->client)));
            return;
        }
        if (name == nullptr || (event != AVAHI_BROWSER_NEW && event != AVAHI_BROWSER_REMOVE)) return;
        Key key{interface, protocol, name};
        if (event == AVAHI_BROWSER_REMOVE) {
            if (auto it = self->resolving.find(key); it != self->resolving.end()) {
                avahi_service_resolver_free(it->second);
                self->resolving.erase(it);
            }
            if (self->found.erase(key) > 0) self->changed();
            return;
        }
        if ((flags & AVAHI_LOOKUP_RESULT_OUR_OWN) != 0) return;
        if (self->resolving.count(key) > 0 || self->found.size() + self->resolving.size() >= kMaxSessions)
            return;
        AvahiServiceResolver* resolver = avahi_service_resolver_new(
            self->client, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
            static_cast<AvahiLookupFlags>(0), resolveCallback, self);
        if (resolver != nullptr) self->resolving.emplace(std::move(key), resolver);
    }

    static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex interface,
                                AvahiProtocol protocol, AvahiResolverEvent event, const char* name,
                                const char*, const char*, const char*, const AvahiAddress* address,
                                uint16_t port, AvahiStringList*, AvahiLookupResultFlags flags,
                                void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        Key key{interface, protocol, name != nullptr ? name : ""};
        self->resolving.erase(key);
        if (event == AVAHI_RESOLVER_FOUND && address != nullptr &&
            (flags & AVAHI_LOOKUP_RESULT_OUR_OWN) == 0) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            std::string host = text;
            if (address->proto == AVAHI_PROTO_INET6 && host.rfind("fe80:", 0) == 0) {
                char ifname[IF_NAMESIZE] = {};
                if (if_indextoname(static_cast<unsigned>(interface), ifname) != nullptr) {
                    host += std::string("%") + ifname;
                }
            }
            DiscoveredNetworkSession session{std::get<2>(key), {host, port}};
            auto [it, inserted] = self->found.try_emplace(key, session);
            if (inserted || !(it->second == session)) {
                it->second = std::move(session);
                self->changed();
            }
        }
        avahi_service_resolver_free(resolver);
    }

    void register_() {
        if (client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) return;
        if (group != nullptr) avahi_entry_group_reset(group);
        if (!wanted) return;
        if (group == nullptr) group = avahi_entry_group_new(client, groupCallback, this);
        if (group == nullptr) return;
        if (publishedName.empty()) publishedName = wanted->first;
        const int error = avahi_entry_group_add_service(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
            publishedName.c_str(), kServiceType, nullptr, nullptr, wanted->second, nullptr);
        if (error == AVAHI_ERR_COLLISION) {
            rename();
            return;
        }
        if (error < 0 || avahi_entry_group_commit(group) < 0) {
            log(std::string("[Network MIDI] Cannot advertise the session: ") + avahi_strerror(error));
        }
    }

    void rename() {
        char* next = avahi_alternative_service_name(publishedName.c_str());
        log("[Network MIDI] The name \"" + publishedName + "\" is taken on the network; advertising \"" +
            next + "\"");
        publishedName = next;
        avahi_free(next);
        register_();
    }

    static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        self->group = g;
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            self->later([](Impl& me) { me.rename(); });
        } else if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
            self->log("[Network MIDI] Advertised as \"" + self->publishedName + "\" on the local network");
        }
    }
};

AvahiNetworkDiscovery::AvahiNetworkDiscovery(MainQueue& queue)
    : impl_(std::make_unique<Impl>(*this, queue)) {}

AvahiNetworkDiscovery::~AvahiNetworkDiscovery() = default;

void AvahiNetworkDiscovery::start() {
    if (impl_->client == nullptr) impl_->start();
}

void AvahiNetworkDiscovery::publish(const std::string& name, std::uint16_t controlPort) {
    start();
    if (impl_->wanted && impl_->wanted->first == name && impl_->wanted->second == controlPort) return;
    impl_->wanted = std::make_pair(name, controlPort);
    impl_->publishedName = name;
    impl_->register_();
}

void AvahiNetworkDiscovery::unpublish() {
    impl_->wanted.reset();
    if (impl_->group != nullptr) avahi_entry_group_reset(impl_->group);
}

bool AvahiNetworkDiscovery::isAvailable() const {
    return impl_->client != nullptr && avahi_client_get_state(impl_->client) == AVAHI_CLIENT_S_RUNNING;
}

std::vector<DiscoveredNetworkSession> AvahiNetworkDiscovery::sessions() const {
    std::vector<DiscoveredNetworkSession> result;
    for (const auto& entry : impl_->found) {
        const DiscoveredNetworkSession& session = entry.second;
        // One entry per name: the first address found (IPv4 sorts before IPv6 per interface).
        if (std::none_of(result.begin(), result.end(),
                         [&](const auto& s) { return s.name == session.name; })) {
            result.push_back(session);
        }
    }
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return result;
}

}  // namespace velorin
