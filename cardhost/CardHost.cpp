#include "cardhost/CardHost.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
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
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A flood keeps at most this much queued on its connection, so that it goes as
// fast as the socket takes it without holding the whole flood in memory.
constexpr std::size_t FLOOD_QUEUE_BYTES = 256 * 1024;
// Frames handed to the socket in one write, and writes in one turn of a connection.
constexpr std::size_t WRITE_BATCH_FRAMES = 256;
constexpr std::size_t WRITE_BATCHES_PER_TURN = 8;
// One read takes at most this much; the bytes go on into the frames at once,
// so one buffer serves every connection.
constexpr std::size_t READ_CHUNK_BYTES = 65536;
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
    //
    // The socket is non-blocking and driven by readiness waits, reading and
    // writing what it takes at that moment: a cancelled wait loses nothing, so
    // Freeze can stop both directions at any time and Thaw go on from there.
    struct Connection {
        Connection(tcp::socket accepted, asio::io_context& io)
            : socket(std::move(accepted)), keepAliveTimer(io) {}
        tcp::socket socket;
        asio::steady_timer keepAliveTimer;
        std::string peer;
        // Receiving: the header so far, then the body as its bytes arrive.
        std::array<unsigned char, FRAME_HEADER_BYTES> header{};
        std::size_t headerBytes = 0;
        bool inBody = false;
        uint32_t bodyLength = 0;
        std::string body;
        // Sending.
        std::deque<OutFrame> out;
        std::size_t outBytes = 0;
        std::size_t frontWritten = 0;  // bytes of the first frame already written
        Clock::time_point lastQueued;  // for the keep-alives
        std::vector<asio::const_buffer> writeBuffers;
        bool readWaiting = false;   // a read wait is pending
        bool writeWaiting = false;  // a write wait is pending, or the writer runs
        bool frozen = false;
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
    std::array<char, READ_CHUNK_BYTES> readBuffer{};
    std::size_t peakWaitingBytes = 0;
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
        asio::error_code ec;
        const tcp::endpoint peerEndpoint = socket.remote_endpoint(ec);
        const std::string peer = ec ? "?" : FormatEndpoint(peerEndpoint);
        if (connections.size() >= MAX_HOST_CONNECTIONS) {
            Emit("error connection from " + peer +
                 " refused: " + std::to_string(MAX_HOST_CONNECTIONS) + " connections open");
            socket.close(ec);
            return;
        }
        auto connection = std::make_shared<Connection>(std::move(socket), io);
        connection->peer = peer;
        connection->socket.set_option(tcp::no_delay(true), ec);
        connection->socket.non_blocking(true, ec);
        if (ec) {
            // A blocking socket would stall the host's thread.
            Emit("error connection from " + peer + " refused: " + ec.message());
            connection->socket.close(ec);
            return;
        }
        connections.insert(connection);
        Emit("accepted " + connection->peer);
        Send(connection, CardsInformationMessage(options.serials));
        ArmRead(connection);
        ArmKeepAlive(connection);
    }

    // Takes its own reference: the caller's may be the card's, which Detach clears.
    void Close(ConnectionPtr connection) {
        if (!connection->open) {
            return;
        }
        connection->open = false;
        asio::error_code ignored;
        connection->socket.shutdown(tcp::socket::shutdown_both, ignored);
        connection->socket.close(ignored);
        connection->keepAliveTimer.cancel();
        // Handlers still holding the connection must not hold its buffers too.
        connection->out.clear();
        connection->outBytes = 0;
        std::string().swap(connection->body);
        const std::string label = Label(*connection);
        if (connection->card) {
            Detach(*connection->card);
        }
        connections.erase(connection);
        Emit("closed " + label);
    }

    // ---- reading ----

    void ArmRead(const ConnectionPtr& connection) {
        if (!connection->open || connection->frozen || connection->readWaiting) {
            return;
        }
        connection->readWaiting = true;
        connection->socket.async_wait(
            tcp::socket::wait_read, [this, connection](const asio::error_code& ec) {
                connection->readWaiting = false;
                if (!connection->open) {
                    return;
                }
                if (ec == asio::error::operation_aborted) {
                    ArmRead(connection);  // cancelled by Freeze: again once thawed
                    return;
                }
                if (ec) {
                    Close(connection);
                    return;
                }
                if (!connection->frozen) {
                    ReadAvailable(connection);
                }
            });
    }

    void ReadAvailable(const ConnectionPtr& connection) {
        asio::error_code ec;
        const std::size_t got = connection->socket.read_some(asio::buffer(readBuffer), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            ArmRead(connection);
            return;
        }
        if (ec) {
            Close(connection);
            return;
        }
        Consume(connection, readBuffer.data(), got);
        ArmRead(connection);
    }

    // Takes bytes of the connection's stream: frames are cut out and run as
    // commands; a frame's buffer grows with its bytes.
    void Consume(const ConnectionPtr& connection, const char* data, std::size_t size) {
        Connection& c = *connection;
        while (size > 0 && c.open) {
            if (!c.inBody) {
                const std::size_t take = std::min(size, FRAME_HEADER_BYTES - c.headerBytes);
                std::memcpy(c.header.data() + c.headerBytes, data, take);
                c.headerBytes += take;
                data += take;
                size -= take;
                if (c.headerBytes < FRAME_HEADER_BYTES) {
                    return;
                }
                c.headerBytes = 0;
                const uint32_t length = DecodeFrameLength(c.header.data());
                if (length == 0) {
                    continue;  // a keep-alive
                }
                if (length > MAX_FRAME_BYTES) {
                    Emit("error frame of " + std::to_string(length) + " bytes from " + Label(c) +
                         ", closing the connection");
                    Close(connection);
                    return;
                }
                c.inBody = true;
                c.bodyLength = length;
                continue;
            }
            const std::size_t take = std::min<std::size_t>(size, c.bodyLength - c.body.size());
            const std::size_t needed = c.body.size() + take;
            if (needed > c.body.capacity()) {
                c.body.reserve(
                    std::min<std::size_t>(c.bodyLength, std::max(needed, 2 * c.body.capacity())));
            }
            c.body.append(data, take);
            data += take;
            size -= take;
            if (c.body.size() < c.bodyLength) {
                return;
            }
            c.inBody = false;
            std::string text;
            text.swap(c.body);
            OnCommand(connection, text);
        }
    }

    // ---- writing ----

    void Send(const ConnectionPtr& connection, const std::string& text) {
        if (connection->open && Queue(connection, EncodeFrame(text), false)) {
            StartWrite(connection);
        }
    }

    // Queues a frame; false, with the connection closed, when the frame would
    // take what waits on the connection beyond MAX_WAITING_BYTES.
    bool Queue(const ConnectionPtr& connection, std::string frame, bool flood) {
        Connection& c = *connection;
        if (c.outBytes + frame.size() > MAX_WAITING_BYTES) {
            Emit("error more than " + std::to_string(MAX_WAITING_BYTES) + " bytes waiting for " +
                 Label(c) + ", closing the connection");
            Close(connection);
            return false;
        }
        c.outBytes += frame.size();
        peakWaitingBytes = std::max(peakWaitingBytes, c.outBytes);
        c.out.push_back({std::move(frame), flood});
        c.lastQueued = Clock::now();
        return true;
    }

    void StartWrite(const ConnectionPtr& connection) {
        if (!connection->open || connection->frozen || connection->writeWaiting ||
            connection->out.empty()) {
            return;
        }
        connection->writeWaiting = true;
        connection->socket.async_wait(
            tcp::socket::wait_write, [this, connection](const asio::error_code& ec) {
                connection->writeWaiting = false;
                if (!connection->open) {
                    return;
                }
                if (ec == asio::error::operation_aborted) {
                    StartWrite(connection);  // cancelled by Freeze: again once thawed
                    return;
                }
                if (ec) {
                    Close(connection);
                    return;
                }
                if (!connection->frozen) {
                    WriteAvailable(connection);
                }
            });
    }

    // Writes what the socket takes now, a few batches at most so that other
    // connections get their turn, and waits for the rest.
    void WriteAvailable(const ConnectionPtr& connection) {
        Connection& c = *connection;
        c.writeWaiting = true;  // a flood's refill from in here must not start a second writer
        for (std::size_t batch = 0; batch < WRITE_BATCHES_PER_TURN && !c.out.empty(); ++batch) {
            const std::size_t count = std::min(c.out.size(), WRITE_BATCH_FRAMES);
            c.writeBuffers.clear();
            for (std::size_t i = 0; i < count; ++i) {
                c.writeBuffers.push_back(asio::buffer(c.out[i].bytes) +
                                         (i == 0 ? c.frontWritten : 0));
            }
            asio::error_code ec;
            const std::size_t written = c.socket.write_some(c.writeBuffers, ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                break;
            }
            if (ec) {
                Close(connection);
                return;
            }
            const uint32_t floodFrames = Written(c, written);
            if (c.card && floodFrames > 0) {
                c.card->floodWritten += floodFrames;
                PumpFlood(*c.card);
            }
            if (!c.open) {
                return;
            }
        }
        c.writeWaiting = false;
        StartWrite(connection);
    }

    // Drops the bytes written from the head of the queue; returns the flood
    // frames finished.
    static uint32_t Written(Connection& c, std::size_t written) {
        uint32_t floodFrames = 0;
        while (written > 0) {
            OutFrame& front = c.out.front();
            const std::size_t rest = front.bytes.size() - c.frontWritten;
            if (written < rest) {
                c.frontWritten += written;
                break;
            }
            written -= rest;
            c.frontWritten = 0;
            floodFrames += front.flood ? 1 : 0;
            c.outBytes -= front.bytes.size();
            c.out.pop_front();
        }
        return floodFrames;
    }

    // A keep-alive after CARD_HOST_KEEPALIVE without anything queued.
    void ArmKeepAlive(const ConnectionPtr& connection) {
        if (!connection->open || connection->frozen) {
            return;
        }
        connection->keepAliveTimer.expires_at(connection->lastQueued + CARD_HOST_KEEPALIVE);
        connection->keepAliveTimer.async_wait([this, connection](const asio::error_code& ec) {
            if (ec || !connection->open || connection->frozen) {
                return;
            }
            if (Clock::now() - connection->lastQueued >= CARD_HOST_KEEPALIVE) {
                if (!Queue(connection, EncodeFrame({}), false)) {
                    return;
                }
                StartWrite(connection);
            }
            ArmKeepAlive(connection);
        });
    }

    // ---- freezing ----

    void Freeze(const ConnectionPtr& connection) {
        if (!connection->open || connection->frozen) {
            return;
        }
        connection->frozen = true;
        asio::error_code ignored;
        connection->socket.cancel(ignored);
        connection->keepAliveTimer.cancel();
        Emit("frozen " + Label(*connection));
    }

    void Thaw(const ConnectionPtr& connection) {
        if (!connection->open || !connection->frozen) {
            return;
        }
        connection->frozen = false;
        Emit("thawed " + Label(*connection));
        ArmRead(connection);
        StartWrite(connection);
        ArmKeepAlive(connection);
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
        const ConnectionPtr connection = card.connection;
        while (card.floodQueued < card.floodCount && connection->outBytes < FLOOD_QUEUE_BYTES) {
            if (!Queue(connection, card.floodFrame, true)) {
                return;  // closed, and the flood with it
            }
            ++card.floodQueued;
        }
        StartWrite(connection);
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

    // Runs `change` on the card's connection, or on every connection open now
    // without a serial. Called on any thread but the host's.
    template <typename Change>
    bool ForConnections(std::optional<uint32_t> serial, std::string& error, Change change) {
        return Call(error, [&](std::string& failure) {
            if (serial) {
                HostCard* card = AttachedCard(*serial, failure);
                if (!card) {
                    return false;
                }
                const ConnectionPtr connection = card->connection;
                change(connection);
                return true;
            }
            const std::set<ConnectionPtr> open = connections;
            for (const ConnectionPtr& connection : open) {
                change(connection);
            }
            return true;
        });
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
    return impl.ForConnections(serial, error,
                               [&impl](const Impl::ConnectionPtr& c) { impl.Close(c); });
}

bool CCardHost::Freeze(std::optional<uint32_t> serial, std::string& error) {
    Impl& impl = *m_impl;
    return impl.ForConnections(serial, error,
                               [&impl](const Impl::ConnectionPtr& c) { impl.Freeze(c); });
}

bool CCardHost::Thaw(std::optional<uint32_t> serial, std::string& error) {
    Impl& impl = *m_impl;
    return impl.ForConnections(serial, error,
                               [&impl](const Impl::ConnectionPtr& c) { impl.Thaw(c); });
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

bool CCardHost::GetUsage(CardHostUsage& usage, std::string& error) {
    Impl& impl = *m_impl;
    return impl.Call(error, [&](std::string&) {
        usage = CardHostUsage{};
        usage.connections = impl.connections.size();
        for (const Impl::ConnectionPtr& connection : impl.connections) {
            usage.waitingBytes += connection->outBytes;
            usage.receiveBytes += connection->inBody ? connection->body.capacity() : 0;
        }
        usage.peakWaitingBytes = impl.peakWaitingBytes;
        return true;
    });
}
