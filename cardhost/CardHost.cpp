#include "cardhost/CardHost.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#include <asio.hpp>
#pragma GCC diagnostic pop

namespace {

using asio::ip::tcp;
using Seconds = std::chrono::duration<double>;

// A flood keeps at most this much queued on its connection, so that it goes as
// fast as the socket takes it without holding the whole flood in memory.
constexpr std::size_t FLOOD_QUEUE_BYTES = 256 * 1024;
// Frames handed to the socket in one write.
constexpr std::size_t WRITE_BATCH_FRAMES = 256;
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(100);

// Generated sessions last SESSION_MIN_S to SESSION_MAX_S at low rates. When the
// mean pause between sessions is shorter than the mean of that range, both
// bounds shrink in proportion, so that a card is busy at most about half of
// the time whatever the rate.
constexpr double SESSION_MIN_S = 5.0;
constexpr double SESSION_MAX_S = 60.0;
constexpr int SESSION_MAX_EVENTS = 3;
constexpr uint32_t CHANNEL_COUNT = 16;
constexpr std::array<const char*, 3> SESSION_EVENTS{EVENT_CCS, EVENT_ANN, EVENT_ASS};

// Used when a card has no mode or has had no session yet.
constexpr const char* DEFAULT_MODE_LETTERS = " B";
constexpr const char* DEFAULT_SERVICE = "TEL ";
constexpr const char* FLOOD_SERVICE = "DATA";

std::string FormatEndpoint(const tcp::endpoint& endpoint) {
    const asio::ip::address address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

std::mt19937_64 MakeRandom(const std::optional<uint64_t>& seed, uint32_t cardNumber) {
    // One generator per card, so that a seeded card's sessions do not depend
    // on how the other cards' timers interleave with its own.
    if (seed) {
        std::seed_seq sequence{static_cast<uint32_t>(*seed), static_cast<uint32_t>(*seed >> 32),
                               cardNumber};
        return std::mt19937_64(sequence);
    }
    std::random_device device;
    std::seed_seq sequence{device(), device(), cardNumber};
    return std::mt19937_64(sequence);
}

}  // namespace

struct CCardHost::Impl {
    struct HostCard;

    struct OutFrame {
        std::string bytes;
        bool flood = false;
    };

    // One accepted connection. Kept alive by `connections` while open, and by
    // its pending handlers until they have run.
    struct Connection {
        explicit Connection(tcp::socket accepted) : socket(std::move(accepted)) {}
        tcp::socket socket;
        std::string peer;
        std::array<unsigned char, FRAME_HEADER_BYTES> header{};
        std::string body;
        std::deque<OutFrame> out;  // references stay valid while writes are under way
        std::size_t outBytes = 0;
        std::size_t writing = 0;  // frames at the head of `out` being written
        std::vector<asio::const_buffer> writeBuffers;
        bool open = true;
        HostCard* card = nullptr;  // attached card
    };
    using ConnectionPtr = std::shared_ptr<Connection>;

    struct SessionStep {
        Seconds delay;
        const char* event;
    };

    struct HostCard {
        HostCard(asio::io_context& io, uint32_t serialNumber, uint32_t cardNumber,
                 const std::optional<uint64_t>& seed)
            : serial(serialNumber),
              number(cardNumber),
              timer(io),
              random(MakeRandom(seed, cardNumber)) {}
        const uint32_t serial;
        const uint32_t number;
        std::string code = CODE_NO_MODE;
        std::string als = ALS_OFF;
        std::string modulation;
        std::string input;
        ConnectionPtr connection;

        bool inSession = false;
        uint32_t mesId = 0;
        std::string service = DEFAULT_SERVICE;  // of the running or the last session
        std::vector<SessionStep> steps;         // of a generated session
        std::size_t nextStep = 0;

        // The traffic timer: the pause before the next generated session, or
        // the next step of the running one. A handler whose generation is not
        // the current one is stale and does nothing.
        asio::steady_timer timer;
        uint64_t timerGeneration = 0;
        std::mt19937_64 random;

        bool flooding = false;
        uint32_t floodCount = 0;
        uint32_t floodQueued = 0;
        uint32_t floodWritten = 0;
        std::string floodFrame;
    };

    Impl(CardHostOptions hostOptions, OutputFn outputFn)
        : options(std::move(hostOptions)),
          output(std::move(outputFn)),
          work(asio::make_work_guard(io)),
          acceptor(io),
          acceptRetry(io) {
        for (std::size_t i = 0; i < options.serials.size(); ++i) {
            cards.push_back(std::make_unique<HostCard>(io, options.serials[i],
                                                       static_cast<uint32_t>(i + 1), options.seed));
        }
    }

    ~Impl() { Stop(); }

    // Members used from the host's thread only, unless said otherwise.
    CardHostOptions options;  // constant
    OutputFn output;          // constant
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    tcp::acceptor acceptor;
    asio::steady_timer acceptRetry;
    std::vector<std::unique_ptr<HostCard>> cards;  // the vector is constant
    std::set<ConnectionPtr> connections;
    std::thread thread;

    // Guards `running` and the posting of work: nothing is posted after Stop
    // has posted the shutdown, so everything posted runs before the thread ends.
    std::mutex postLock;
    bool running = false;
    bool started = false;

    // The serials of the attached cards, and of those of them in a mode, for
    // WaitAttached and WaitMode on other threads.
    std::mutex attachLock;
    std::condition_variable attachChanged;
    std::set<uint32_t> attached;
    std::set<uint32_t> inMode;
    bool halted = false;

    void PublishAttachment(const HostCard& card) {
        {
            std::lock_guard lock(attachLock);
            if (card.connection) {
                attached.insert(card.serial);
            } else {
                attached.erase(card.serial);
            }
            if (card.connection && ModeLetters(card.code)) {
                inMode.insert(card.serial);
            } else {
                inMode.erase(card.serial);
            }
        }
        attachChanged.notify_all();
    }

    bool WaitFor(const std::set<uint32_t>& serials, uint32_t serial,
                 std::chrono::milliseconds timeout) {
        std::unique_lock lock(attachLock);
        attachChanged.wait_for(lock, timeout, [&] { return halted || serials.count(serial) > 0; });
        return !halted && serials.count(serial) > 0;
    }

    void Emit(const std::string& line) {
        if (output) {
            output(line);
        }
    }

    static std::string Label(const Connection& connection) {
        return connection.card ? std::to_string(connection.card->serial) : "-";
    }

    HostCard* FindCard(uint32_t serial) {
        for (auto& card : cards) {
            if (card->serial == serial) {
                return card.get();
            }
        }
        return nullptr;
    }

    // ---- start and stop (caller's thread) ----

    bool Start(std::string& error, uint16_t& port) {
        if (started) {
            error = "the host was started before";
            return false;
        }
        started = true;
        asio::error_code ec;
        const asio::ip::address address = asio::ip::make_address(options.address, ec);
        if (ec) {
            error = "invalid listen address " + options.address;
            return false;
        }
        const tcp::endpoint endpoint(address, options.port);
        acceptor.open(endpoint.protocol(), ec);
        if (!ec) {
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        }
        if (!ec) {
            acceptor.bind(endpoint, ec);
        }
        if (!ec) {
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        tcp::endpoint local;
        if (!ec) {
            local = acceptor.local_endpoint(ec);
        }
        if (ec) {
            error = "cannot listen on " + FormatEndpoint(endpoint) + ": " + ec.message();
            asio::error_code ignored;
            acceptor.close(ignored);
            return false;
        }
        port = local.port();
        Emit("listening " + FormatEndpoint(local));
        Accept();
        {
            std::lock_guard lock(postLock);
            running = true;
        }
        thread = std::thread([this] { io.run(); });
        return true;
    }

    void Stop() {
        {
            std::lock_guard lock(postLock);
            if (!running) {
                return;
            }
            running = false;
            asio::post(io, [this] { Shutdown(); });
        }
        work.reset();
        thread.join();
        {
            std::lock_guard lock(attachLock);
            halted = true;
        }
        attachChanged.notify_all();
    }

    void Shutdown() {
        asio::error_code ignored;
        acceptor.close(ignored);
        acceptRetry.cancel();
        const std::set<ConnectionPtr> open = connections;
        for (const ConnectionPtr& connection : open) {
            Close(connection);
        }
        for (auto& card : cards) {
            CancelTimer(*card);
        }
    }

    // Runs `task(error)` on the host's thread and waits for its result.
    template <typename Task>
    bool Call(std::string& error, Task task) {
        std::promise<void> done;
        std::future<void> finished = done.get_future();
        bool ok = false;
        {
            std::lock_guard lock(postLock);
            if (!running) {
                error = "the host is not running";
                return false;
            }
            asio::post(io, [&] {
                ok = task(error);
                done.set_value();
            });
        }
        finished.wait();
        return ok;
    }

    // ---- connections ----

    void Accept() {
        acceptor.async_accept([this](const asio::error_code& ec, tcp::socket socket) {
            if (!acceptor.is_open()) {
                return;
            }
            if (ec) {
                // Out of descriptors, for instance: try again a little later
                // rather than spinning.
                Emit("error accept: " + ec.message());
                acceptRetry.expires_after(ACCEPT_RETRY);
                acceptRetry.async_wait([this](const asio::error_code& waited) {
                    if (!waited) {
                        Accept();
                    }
                });
                return;
            }
            OnAccepted(std::move(socket));
            Accept();
        });
    }

    void OnAccepted(tcp::socket socket) {
        auto connection = std::make_shared<Connection>(std::move(socket));
        asio::error_code ec;
        const tcp::endpoint peer = connection->socket.remote_endpoint(ec);
        connection->peer = ec ? "?" : FormatEndpoint(peer);
        connection->socket.set_option(tcp::no_delay(true), ec);
        connections.insert(connection);
        Emit("accepted " + connection->peer);
        Send(connection, CardsInformationMessage(options.serials));
        ReadHeader(connection);
    }

    void Close(const ConnectionPtr& connection) {
        if (!connection->open) {
            return;
        }
        connection->open = false;
        asio::error_code ignored;
        connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
        connection->socket.close(ignored);
        const std::string label = Label(*connection);
        if (connection->card) {
            Detach(*connection->card);
        }
        connections.erase(connection);
        Emit("closed " + label);
    }

    void ReadHeader(const ConnectionPtr& connection) {
        asio::async_read(connection->socket, asio::buffer(connection->header),
                         [this, connection](const asio::error_code& ec, std::size_t) {
                             if (ec) {
                                 Close(connection);
                                 return;
                             }
                             const uint32_t length = DecodeFrameLength(connection->header.data());
                             if (length == 0) {
                                 ReadHeader(connection);
                                 return;
                             }
                             if (length > MAX_FRAME_BYTES) {
                                 Emit("error frame of " + std::to_string(length) + " bytes from " +
                                      Label(*connection) + ", closing the connection");
                                 Close(connection);
                                 return;
                             }
                             connection->body.resize(length);
                             ReadBody(connection);
                         });
    }

    void ReadBody(const ConnectionPtr& connection) {
        asio::async_read(connection->socket, asio::buffer(connection->body),
                         [this, connection](const asio::error_code& ec, std::size_t) {
                             if (ec) {
                                 Close(connection);
                                 return;
                             }
                             const std::string text = std::move(connection->body);
                             connection->body.clear();
                             OnCommand(connection, text);
                             if (connection->open) {
                                 ReadHeader(connection);
                             }
                         });
    }

    void Send(const ConnectionPtr& connection, const std::string& text) {
        if (!connection->open) {
            return;
        }
        Queue(*connection, EncodeFrame(text), false);
        StartWrite(connection);
    }

    static void Queue(Connection& connection, std::string frame, bool flood) {
        connection.outBytes += frame.size();
        connection.out.push_back({std::move(frame), flood});
    }

    void StartWrite(const ConnectionPtr& connection) {
        if (!connection->open || connection->writing > 0 || connection->out.empty()) {
            return;
        }
        const std::size_t count = std::min(connection->out.size(), WRITE_BATCH_FRAMES);
        connection->writeBuffers.clear();
        for (std::size_t i = 0; i < count; ++i) {
            connection->writeBuffers.push_back(asio::buffer(connection->out[i].bytes));
        }
        connection->writing = count;
        asio::async_write(connection->socket, connection->writeBuffers,
                          [this, connection](const asio::error_code& ec, std::size_t) {
                              OnWritten(connection, ec);
                          });
    }

    void OnWritten(const ConnectionPtr& connection, const asio::error_code& ec) {
        if (ec) {
            Close(connection);
            return;
        }
        uint32_t floodFrames = 0;
        for (std::size_t i = 0; i < connection->writing; ++i) {
            floodFrames += connection->out.front().flood ? 1 : 0;
            connection->outBytes -= connection->out.front().bytes.size();
            connection->out.pop_front();
        }
        connection->writing = 0;
        if (connection->card && floodFrames > 0) {
            connection->card->floodWritten += floodFrames;
            PumpFlood(*connection->card);
        }
        StartWrite(connection);
    }

    // ---- cards ----

    void Attach(const ConnectionPtr& connection, HostCard& card) {
        if (card.connection == connection) {
            Emit("attached " + std::to_string(card.serial));
            return;
        }
        if (connection->card) {
            Detach(*connection->card);
        }
        if (card.connection) {
            Detach(card);  // taken over from another connection, which stays open
        }
        card.connection = connection;
        connection->card = &card;
        PublishAttachment(card);
        Emit("attached " + std::to_string(card.serial));
        if (options.flood > 0) {
            StartFlood(card, options.flood);
        }
        ScheduleNextSession(card);
    }

    // The card loses its connection: its session ends with nothing sent (there
    // is no one to tell), and a flood stops.
    void Detach(HostCard& card) {
        if (card.flooding) {
            card.flooding = false;
            Emit("error flood " + std::to_string(card.serial) + " stopped after " +
                 std::to_string(card.floodWritten) + " of " + std::to_string(card.floodCount));
        }
        AbortSession(card);
        card.connection->card = nullptr;
        card.connection.reset();
        PublishAttachment(card);
    }

    void SendToCard(HostCard& card, const std::string& text) {
        if (card.connection) {
            Send(card.connection, text);
        }
    }

    static const char* LettersOf(const HostCard& card) {
        const char* letters = ModeLetters(card.code);
        return letters ? letters : DEFAULT_MODE_LETTERS;
    }

    void OnCommand(const ConnectionPtr& connection, const std::string& text) {
        const std::string label = Label(*connection);
        Emit("recv " + label + " " + PrintableText(text));
        CardCommand command;
        std::string error;
        if (!ParseCommand(text, command, error)) {
            Emit("error not well-formed XML from " + label + ": " + error);
            return;
        }
        if (command.kind == CommandKind::Connect) {
            HostCard* card = FindCard(command.serial);
            if (!card) {
                if (connection->card) {
                    Detach(*connection->card);
                }
                Emit("error unknown card " + std::to_string(command.serial) + " from " + label);
                return;
            }
            Attach(connection, *card);
            return;
        }
        if (command.kind == CommandKind::Unknown) {
            Emit("error unknown command from " + label + ": " + command.detail);
            return;
        }
        if (!connection->card) {
            Emit("error command from - without an attached card");
            return;
        }
        HostCard& card = *connection->card;
        switch (command.kind) {
            case CommandKind::SetParameters:
                ApplyParameters(card, command.parameters);
                break;
            case CommandKind::StartResync:
                // Back to searching: whatever the card was decoding is dropped
                // without an end record, as the station asked for it.
                AbortSession(card);
                ScheduleNextSession(card);
                break;
            case CommandKind::SetConfiguration:
            case CommandKind::Connect:
            case CommandKind::Unknown:
                break;
        }
    }

    // A new code retunes the card: a running session is dropped without an end
    // record, and the card reports its code and ALS state. A lone "als" is
    // reported back. Other parameters are stored or ignored, unanswered.
    void ApplyParameters(HostCard& card, const std::vector<CardParameter>& parameters) {
        bool codeSet = false;
        bool alsSet = false;
        for (const CardParameter& parameter : parameters) {
            if (parameter.name == "code") {
                card.code = parameter.value;
                codeSet = true;
            } else if (parameter.name == "als") {
                card.als = parameter.value;
                alsSet = true;
            } else if (parameter.name == "modulation") {
                card.modulation = parameter.value;
            } else if (parameter.name == "input") {
                card.input = parameter.value;
            }
        }
        if (codeSet) {
            PublishAttachment(card);
            AbortSession(card);
            SendToCard(card, ParameterListMessage({{"code", card.code}, {"als", card.als}}));
            ScheduleNextSession(card);
        } else if (alsSet) {
            SendToCard(card, ParameterListMessage({{"als", card.als}}));
        }
    }

    // ---- generated traffic ----

    bool TrafficEligible(const HostCard& card) const {
        return options.trafficPerMinute > 0 && card.connection && ModeLetters(card.code);
    }

    double MeanPauseSeconds() const { return 60.0 / options.trafficPerMinute; }

    void CancelTimer(HostCard& card) {
        ++card.timerGeneration;
        card.timer.cancel();
    }

    template <typename Then>
    void Arm(HostCard& card, Seconds delay, Then then) {
        const uint64_t generation = card.timerGeneration;
        card.timer.expires_after(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(delay));
        card.timer.async_wait([this, &card, generation, then](const asio::error_code& ec) {
            if (ec || generation != card.timerGeneration) {
                return;
            }
            then();
        });
    }

    void AbortSession(HostCard& card) {
        card.inSession = false;
        card.steps.clear();
        CancelTimer(card);
    }

    // Sessions arrive at random (exponential pauses, so starts form a Poisson
    // process); one that would arrive while the card is busy is lost, as on a
    // real card, which is the same as drawing the pause from the end of the
    // last session.
    void ScheduleNextSession(HostCard& card) {
        CancelTimer(card);
        if (!TrafficEligible(card) || card.inSession) {
            return;
        }
        std::exponential_distribution<double> pause(1.0 / MeanPauseSeconds());
        Arm(card, Seconds(pause(card.random)), [this, &card] { BeginGeneratedSession(card); });
    }

    void BeginGeneratedSession(HostCard& card) {
        if (!TrafficEligible(card)) {
            return;
        }
        std::uniform_int_distribution<uint32_t> mesIds(options.mesIdFirst, options.mesIdLast);
        std::uniform_int_distribution<std::size_t> services(0, SERVICE_CODE_COUNT - 1);
        std::uniform_int_distribution<uint32_t> channels(1, CHANNEL_COUNT);
        const double scale =
            std::min(1.0, MeanPauseSeconds() / ((SESSION_MIN_S + SESSION_MAX_S) / 2));
        std::uniform_real_distribution<double> durations(SESSION_MIN_S * scale,
                                                         SESSION_MAX_S * scale);
        std::uniform_int_distribution<int> eventCounts(1, SESSION_MAX_EVENTS);
        std::uniform_int_distribution<std::size_t> events(0, SESSION_EVENTS.size() - 1);

        card.inSession = true;
        card.mesId = mesIds(card.random);
        card.service = ServiceCode(services(card.random));
        const uint32_t channel = channels(card.random);
        const double duration = durations(card.random);
        std::uniform_real_distribution<double> moments(0.0, duration);
        std::vector<double> times(static_cast<std::size_t>(eventCounts(card.random)));
        for (double& time : times) {
            time = moments(card.random);
        }
        std::sort(times.begin(), times.end());
        card.steps.clear();
        double previous = 0;
        for (double time : times) {
            card.steps.push_back({Seconds(time - previous), SESSION_EVENTS[events(card.random)]});
            previous = time;
        }
        card.steps.push_back({Seconds(duration - previous), EVENT_END});
        card.nextStep = 0;

        SendToCard(
            card, DataTextMessage(StartRecord(LettersOf(card), card.service, card.mesId, channel)));
        RunNextStep(card);
    }

    void RunNextStep(HostCard& card) {
        if (card.nextStep >= card.steps.size()) {
            return;
        }
        const SessionStep step = card.steps[card.nextStep];
        Arm(card, step.delay, [this, &card, step] {
            ++card.nextStep;
            SendToCard(card, DataTextMessage(
                                 TrafficEventRecord(LettersOf(card), card.service, step.event)));
            if (std::string_view(step.event) == EVENT_END) {
                card.inSession = false;
                card.steps.clear();
                ScheduleNextSession(card);
            } else {
                RunNextStep(card);
            }
        });
    }

    // ---- flood ----

    void StartFlood(HostCard& card, uint32_t count) {
        card.flooding = true;
        card.floodCount = count;
        card.floodQueued = 0;
        card.floodWritten = 0;
        card.floodFrame = EncodeFrame(
            DataTextMessage(TrafficEventRecord(LettersOf(card), FLOOD_SERVICE, EVENT_CCS)));
        PumpFlood(card);
    }

    void PumpFlood(HostCard& card) {
        if (!card.flooding || !card.connection) {
            return;
        }
        if (card.floodWritten >= card.floodCount) {
            card.flooding = false;
            Emit("flood-done " + std::to_string(card.serial) + " " +
                 std::to_string(card.floodCount));
            return;
        }
        Connection& connection = *card.connection;
        while (card.floodQueued < card.floodCount && connection.outBytes < FLOOD_QUEUE_BYTES) {
            Queue(connection, card.floodFrame, true);
            ++card.floodQueued;
        }
        StartWrite(card.connection);
    }

    // ---- script operations (host's thread, through Call) ----

    HostCard* AttachedCard(uint32_t serial, std::string& error) {
        HostCard* card = FindCard(serial);
        if (!card) {
            error = "no card " + std::to_string(serial) + " on this host";
            return nullptr;
        }
        if (!card->connection) {
            error = "card " + std::to_string(serial) + " is not attached";
            return nullptr;
        }
        return card;
    }
};

CCardHost::CCardHost(CardHostOptions options, OutputFn output)
    : m_impl(std::make_unique<Impl>(std::move(options), std::move(output))) {}

CCardHost::~CCardHost() = default;

bool CCardHost::Start(std::string& error) {
    return m_impl->Start(error, m_port);
}

void CCardHost::Stop() {
    m_impl->Stop();
}

bool CCardHost::StartSession(uint32_t serial, uint32_t mesId, const std::string& serviceCode,
                             std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        impl.AbortSession(*card);
        card->inSession = true;
        card->mesId = mesId;
        card->service = serviceCode;
        impl.SendToCard(*card, DataTextMessage(StartRecord(Impl::LettersOf(*card), card->service,
                                                           mesId, card->number)));
        return true;
    });
}

bool CCardHost::EndSession(uint32_t serial, std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        if (!card->inSession) {
            failure = "no session runs on card " + std::to_string(serial);
            return false;
        }
        impl.AbortSession(*card);
        impl.SendToCard(*card, DataTextMessage(TrafficEventRecord(Impl::LettersOf(*card),
                                                                  card->service, EVENT_END)));
        impl.ScheduleNextSession(*card);
        return true;
    });
}

bool CCardHost::SendEvent(uint32_t serial, const std::string& event, std::string& error) {
    if (event != EVENT_CCS && event != EVENT_ANN && event != EVENT_ASS) {
        error = "unknown event " + event;
        return false;
    }
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        impl.SendToCard(*card, DataTextMessage(TrafficEventRecord(Impl::LettersOf(*card),
                                                                  card->service, event)));
        return true;
    });
}

bool CCardHost::SendParameters(uint32_t serial, const std::vector<CardParameter>& parameters,
                               std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        impl.SendToCard(*card, ParameterListMessage(parameters));
        return true;
    });
}

bool CCardHost::SendText(uint32_t serial, const std::string& text, std::string& error) {
    if (text.size() > MAX_FRAME_BYTES) {
        error = "text longer than " + std::to_string(MAX_FRAME_BYTES) + " bytes";
        return false;
    }
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        impl.SendToCard(*card, text);
        return true;
    });
}

bool CCardHost::Drop(std::optional<uint32_t> serial, std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        if (serial) {
            Impl::HostCard* card = impl.AttachedCard(*serial, failure);
            if (!card) {
                return false;
            }
            impl.Close(card->connection);
            return true;
        }
        const std::set<Impl::ConnectionPtr> open = impl.connections;
        for (const Impl::ConnectionPtr& connection : open) {
            impl.Close(connection);
        }
        return true;
    });
}

bool CCardHost::Flood(uint32_t serial, uint32_t count, std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.AttachedCard(serial, failure);
        if (!card) {
            return false;
        }
        if (card->flooding) {
            failure = "a flood runs on card " + std::to_string(serial);
            return false;
        }
        impl.StartFlood(*card, count);
        return true;
    });
}

bool CCardHost::CarriesCard(uint32_t serial) const {
    return m_impl->FindCard(serial) != nullptr;
}

bool CCardHost::WaitAttached(uint32_t serial, std::chrono::milliseconds timeout) {
    return m_impl->WaitFor(m_impl->attached, serial, timeout);
}

bool CCardHost::WaitMode(uint32_t serial, std::chrono::milliseconds timeout) {
    return m_impl->WaitFor(m_impl->inMode, serial, timeout);
}

bool CCardHost::GetCardStatus(uint32_t serial, CardHostCardStatus& status, std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string& failure) {
        Impl::HostCard* card = impl.FindCard(serial);
        if (!card) {
            failure = "no card " + std::to_string(serial) + " on this host";
            return false;
        }
        status.attached = card->connection != nullptr;
        status.code = card->code;
        status.als = card->als;
        status.modulation = card->modulation;
        status.input = card->input;
        status.inSession = card->inSession;
        status.mesId = card->inSession ? card->mesId : 0;
        return true;
    });
}
