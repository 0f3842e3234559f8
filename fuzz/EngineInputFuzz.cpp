// SPDX-License-Identifier: GPL-3.0-or-later
// Random MIDI bytes, split into packets on three inputs, go through the whole
// engine path with every morph routed (including a chain of three morphs, and
// the MIDI clock following two inputs' clock and sending to two outputs), on
// virtual time with a fake Link session whose transport, tempo and timeline the
// input also drives. Window switches, option changes, routing and availability
// edits, inputs leaving and rejoining the system, Link switched off and on,
// timeline resets and engine restarts are interleaved. Checks: nothing
// crashes, every piece of state that input can grow stays under its bound,
// and at the end — before any stop or panic — once every input has let go of
// every key and the loops are silenced (switched off, or the transport
// stopped) and the longest loop has passed, no note sounds at any output.
//
// Input: a sequence of operations; each starts with one byte whose top three
// bits choose the operation and whose low five bits are its parameter.

#include <array>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/ManualMainQueue.hpp"
#include "core/MemorySettingsStore.hpp"
#include "engine/MIDIEngine.hpp"
#include "link/LinkBeatScheduler.hpp"
#include "link/LinkClock.hpp"
#include "log/LogStore.hpp"
#include "morphs/LinkLooperMorph.hpp"
#include "morphs/OctaveLayerMorph.hpp"
#include "support/FakeLinkSession.hpp"
#include "support/MIDIEngineTestAccess.hpp"

namespace {

using namespace velorin;
using namespace std::chrono_literals;

const std::array<std::string, 3> kInputs = {"in-0", "in-1", "in-2"};
const std::array<std::string, 4> kOutputs = {"out-0", "out-1", "out-2", "out-ctl"};
const std::array<std::string, 4> kMorphs = {"router", "octave-layer", "link-looper", "fc200-sysex"};

void check(bool condition) {
    if (!condition) std::abort();
}

// Counts what each output receives and which notes sound there.
class SoundingTransport final : public MIDIOutputTransport {
public:
    bool send(const MIDIOutputEndpointRegistration& output, const MIDIEvent& event) override {
        std::size_t o = 0;
        while (o < kOutputs.size() && kOutputs[o] != output.presentation.id) ++o;
        check(o < kOutputs.size());
        ++sends;
        if (event.type != MIDIEventType::noteOn && event.type != MIDIEventType::noteOff) return true;
        check(event.note >= 0 && event.note < 128 && event.channel >= 0 && event.channel < 16);
        const auto slot = static_cast<std::size_t>(event.channel * 128 + event.note);
        sounding[o][slot] = event.type == MIDIEventType::noteOn && event.velocity > 0;
        return true;
    }
    std::array<std::bitset<2048>, 4> sounding;
    std::size_t sends = 0;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::span<const std::uint8_t> bytes(std::size_t n) {
        const std::size_t take = std::min(n, size_ - pos_);
        std::span<const std::uint8_t> out(data_ + pos_, take);
        pos_ += take;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Rig {
    Rig() {
        auto fake = std::make_unique<test::FakeLinkSession>(queue);
        session = fake.get();
        clock = std::make_unique<LinkClock>(std::move(fake), *log, settings, queue);
        scheduler = std::make_unique<LinkBeatScheduler>(*clock, *log);
        MIDIEngine::Dependencies deps{queue, settings, *log, *clock, *scheduler, activity, true};
        deps.linkControl = clock.get();
        engine = std::make_unique<MIDIEngine>(deps);
        engine->setOutputTransport(&transport);

        std::vector<MIDIInputEndpointRegistration> inputs;
        for (std::size_t i = 0; i < kInputs.size(); ++i) {
            inputs.push_back({{kInputs[i], "Input " + std::to_string(i), ""},
                              MIDIInputEndpointRoute::coreMIDISource(static_cast<std::uint32_t>(i))});
        }
        std::vector<MIDIOutputEndpointRegistration> outputs;
        for (std::size_t i = 0; i < kOutputs.size(); ++i) {
            // "Input 0" is also an output's title: the Router's same-name rule plays a part.
            outputs.push_back({{kOutputs[i], i == 1 ? "Input 0" : "Output " + std::to_string(i), ""},
                               MIDIOutputEndpointRoute::coreMIDIDestination(static_cast<std::uint32_t>(i))});
        }
        allInputs = inputs;
        allOutputs = outputs;
        installInventory();

        // Every input reaches every morph; the third also drives the looper's controls.
        for (const auto& in : kInputs) {
            for (const auto& morph : kMorphs) engine->setInputAssignment(true, in, morph, "inputs");
        }
        engine->setInputAssignment(true, kInputs[2], "link-looper", "control-inputs");
        for (std::size_t m = 0; m < kMorphs.size(); ++m) {
            engine->setOutputAssignment(true, kOutputs[m % 3], kMorphs[m], "outputs");
            engine->setOutputAssignment(true, kOutputs[(m + 1) % 3], kMorphs[m], "outputs");
        }
        engine->setOutputAssignment(true, "out-ctl", "link-looper", "control-outputs");
        // The chain fc200-sysex → router → octave-layer → link-looper.
        engine->setOutputAssignment(true, "morph:octave-layer", "router", "outputs");
        engine->setOutputAssignment(true, "morph:link-looper", "octave-layer", "outputs");
        engine->setOutputAssignment(true, "morph:router", "fc200-sysex", "outputs");
        check(engine->routingStore().firstChainTarget("fc200-sysex").has_value());
        // Clock bytes of the first and third inputs may lead Link; clock goes out on two outputs.
        engine->setInputAssignment(true, kInputs[0], "midi-clock", "inputs");
        engine->setInputAssignment(true, kInputs[2], "midi-clock", "inputs");
        engine->setOutputAssignment(true, "out-1", "midi-clock", "clock-outputs");
        engine->setOutputAssignment(true, "out-2", "midi-clock", "clock-outputs-running");

        engine->start();
    }
    ~Rig() {
        engine.reset();
        scheduler.reset();
        clock.reset();
    }

    // Every input, or all but the second (unplugged).
    void installInventory() {
        auto inputs = allInputs;
        if (!secondInputPresent) inputs.erase(inputs.begin() + 1);
        engine->setEndpointInventory(
            std::get<MIDIEndpointInventory>(MIDIEndpointInventory::make(std::move(inputs), allOutputs)));
    }
    bool present(std::size_t input) const { return input != 1 || secondInputPresent; }

    void checkBounds() {
        check(MIDIEngineTestAccess::inputParserStateCount(*engine) <= kInputs.size());
        check(engine->scheduler().pendingCount() <= LinkBeatScheduler::kMaxPendingEvents);
        check(log->entries().size() <= LogStore::kMaxEntries);
        check(engine->clockFollower().estimator().tickCount() <= MIDIClockTempoEstimator::kWindowTicks);
        if (const auto bpm = engine->clockFollower().tempo()) check(*bpm >= 19.0 && *bpm <= 1000.0);
        for (const MorphNode& node : engine->morphEngine().nodes()) {
            check(node.outstandingNotes.size() <= 16 * 128);
            if (const auto* looper = dynamic_cast<const LinkLooperMorph*>(node.morph.get())) {
                check(looper->captureBuffer().size() <= LinkLooperCaptureBuffer::kMaxEntries);
                for (const auto& sounding : looper->playbackState().soundingNotesByLooperIndex) {
                    check(sounding.size() <= 16 * 128);
                }
            }
            if (const auto* layer = dynamic_cast<const OctaveLayerMorph*>(node.morph.get())) {
                check(layer->heldSourceCount() <= 16 * 128);
            }
        }
    }

    ManualMainQueue queue;
    MemorySettingsStore settings;
    std::shared_ptr<LogStore> log = LogStore::create(queue, settings);
    test::FakeLinkSession* session = nullptr;
    std::unique_ptr<LinkClock> clock;
    std::unique_ptr<LinkBeatScheduler> scheduler;
    MIDIActivityMonitor activity{[this] { return queue.uptimeSeconds(); }};
    SoundingTransport transport;
    std::unique_ptr<MIDIEngine> engine;
    // The keys each input holds, read from its bytes by a parser of our own.
    std::array<MIDIParserState, 3> mirror;
    std::array<std::bitset<2048>, 3> held;
    std::vector<MIDIEvent> mirrored;
    std::vector<MIDIInputEndpointRegistration> allInputs;
    std::vector<MIDIOutputEndpointRegistration> allOutputs;
    bool secondInputPresent = true;
};

void midiBatch(Rig& rig, Reader& in, unsigned param) {
    std::size_t inputIndex = (param & 0x3u) % kInputs.size();
    if (!rig.present(inputIndex)) inputIndex = 0;  // an unplugged input plays nothing
    const std::string& input = kInputs[inputIndex];
    const auto bytes = in.bytes(in.byte());
    // One to four packets of about equal size.
    const std::size_t pieces = 1 + ((param >> 2) & 0x3u);
    std::vector<MIDIRawPacket> packets;
    const std::size_t step = bytes.size() / pieces + 1;
    for (std::size_t at = 0; at < bytes.size(); at += step) {
        const auto piece = bytes.subspan(at, std::min(step, bytes.size() - at));
        packets.push_back(MIDIRawPacket{ByteArray(piece.begin(), piece.end())});
    }
    rig.mirrored.clear();
    for (const auto& packet : packets)
        parsePacketBytes(packet.bytes, rig.mirror[inputIndex], rig.mirrored, nullptr);
    for (const MIDIEvent& e : rig.mirrored) {
        if (e.type != MIDIEventType::noteOn && e.type != MIDIEventType::noteOff) continue;
        rig.held[inputIndex][static_cast<std::size_t>(e.channel * 128 + e.note)] =
            e.type == MIDIEventType::noteOn && e.velocity > 0;
    }
    const std::string source = "Input " + std::to_string(inputIndex);
    rig.engine->handleInput(packets, input,
                            (param & 0x10) ? std::optional<std::string_view>(source) : std::nullopt);
}

void linkOperation(Rig& rig, Reader& in, unsigned param) {
    switch (param % 8) {
        case 0:
            rig.session->enabled = !rig.session->enabled;
            break;
        case 1:
            rig.session->playing = !rig.session->playing;
            break;
        case 2: {
            // Jumps forwards and backwards on a sane timeline.
            const double beat = static_cast<double>(in.byte()) * 0.75 - 32.0;
            rig.session->jumpToBeat(beat);
            break;
        }
        case 3:
            rig.session->peerSetsTempo(40.0 + static_cast<double>(in.byte()));
            break;
        case 4:
            rig.log->toggleLoggingAllMIDIEvents();
            break;
        case 5:
            if (in.byte() & 1) {
                rig.clock->resetTimeline();
            } else {
                rig.clock->setActive(!rig.clock->isActive());
            }
            break;
        default:
            rig.queue.advance(std::chrono::milliseconds(250 * (param % 8 - 4)));
            break;
    }
}

void windowOperation(Rig& rig, Reader& in, unsigned param) {
    const std::uint8_t arg = in.byte();
    const bool flag = (arg & 0x80) != 0;
    MIDIEngine& engine = *rig.engine;
    switch (param % 8) {
        case 0:
            engine.setLinkLooper(arg % 4, flag);
            break;
        case 1:
            engine.setLinkLooperMute(arg % 4, flag);
            break;
        case 2:
            engine.octaveLayerSettings()->toggle(static_cast<OctaveLayerKind>(arg % 4));
            break;
        case 3:
            engine.setShowsFC200Morph(flag);
            break;
        case 4:
            engine.setFC200UpperPedalsToggleEnabled(flag);
            break;
        case 5:
            engine.setFC200UpperPedalsShareLowerCCsEnabled(flag);
            break;
        case 6:
            engine.linkLooperSettings()->setLoopLengthBeats(1 + arg % 64);
            break;
        default:
            engine.panic();
            break;
    }
}

void routingOperation(Rig& rig, Reader& in, unsigned param) {
    const std::uint8_t arg = in.byte();
    const bool flag = (arg & 0x80) != 0;
    MIDIEngine& engine = *rig.engine;
    const std::string& morph = kMorphs[arg % kMorphs.size()];
    switch (param % 8) {
        case 0:
            engine.stop();
            engine.start();
            rig.mirror = {};  // stopping forgets every input's parser state
            break;
        case 1:
            engine.setOutputAvailable(flag, kOutputs[arg % kOutputs.size()]);
            break;
        case 2:
            engine.setInputAvailable(flag, kInputs[arg % kInputs.size()]);
            break;
        case 3:
            engine.setOutputAssignment(flag, kOutputs[(arg / 4) % 3], morph, "outputs");
            break;
        case 4:
            engine.setOutputAssignment(flag, "morph:" + kMorphs[(arg / 4) % 4], morph, "outputs");
            break;
        case 5:
            engine.setInputAssignment(flag, kInputs[(arg / 4) % 3], morph,
                                      (arg & 0x40) && morph == "link-looper" ? "control-inputs" : "inputs");
            break;
        case 6:
            engine.emitStartupSnapshot();
            break;
        default:
            if (flag) {
                rig.secondInputPresent = !rig.secondInputPresent;
                if (!rig.secondInputPresent) rig.held[1].reset();  // unplugged: its keys are gone with it
                rig.installInventory();
            } else {
                engine.forgetInputState(kInputs[arg % kInputs.size()]);
                rig.mirror[arg % kInputs.size()] = {};
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Rig rig;
    rig.session->enabled = true;
    rig.session->playing = true;
    Reader in(data, size);
    int operations = 0;
    while (!in.done() && operations++ < 2000) {
        const std::uint8_t op = in.byte();
        const unsigned param = op & 0x1F;
        switch (op >> 5) {
            case 0:
            case 1:
            case 2:
            case 3:
                midiBatch(rig, in, param);
                break;
            // Virtual time moves on in 10 ms ticks, so the scheduler tick runs.
            case 4:
                rig.queue.advance(std::chrono::milliseconds(10 * (param + 1)));
                break;
            case 5:
                linkOperation(rig, in, param);
                break;
            case 6:
                windowOperation(rig, in, param);
                break;
            default:
                routingOperation(rig, in, param);
                break;
        }
        rig.checkBounds();
    }
    rig.queue.advance(3s);
    rig.checkBounds();

    // The quiet moment: every present input lets go of every key (an input
    // switched off or unassigned had its notes ended when it stopped reaching
    // the morph), the loops are silenced, and the longest loop passes.
    for (std::size_t i = 0; i < kInputs.size(); ++i) {
        if (!rig.present(i) || rig.held[i].none()) continue;
        ByteArray release;
        for (std::size_t slot = 0; slot < 2048; ++slot) {
            if (!rig.held[i][slot]) continue;
            release.insert(release.end(), {static_cast<std::uint8_t>(0x80 | slot / 128),
                                           static_cast<std::uint8_t>(slot % 128), 0});
        }
        rig.engine->forgetInputState(kInputs[i]);  // no unfinished SysEx swallows the note-offs
        rig.engine->handleInput(std::vector<MIDIRawPacket>{MIDIRawPacket{std::move(release)}}, kInputs[i],
                                std::nullopt);
    }
    if (size % 2 == 0) {
        for (int looper = 0; looper < 4; ++looper) rig.engine->setLinkLooper(looper, false);
    } else {
        rig.session->playing = false;
    }
    // The longest loop (64 beats) passes: 3.8 s at the fastest tempo.
    rig.session->peerSetsTempo(999.0);
    rig.queue.advance(4s);
    for (const auto& sounding : rig.transport.sounding) check(sounding.none());

    // Stop leaves nothing sounding either.
    rig.engine->stop();
    for (const auto& sounding : rig.transport.sounding) check(sounding.none());
    return 0;
}
