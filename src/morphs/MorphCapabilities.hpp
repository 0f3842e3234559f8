// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "midi/MIDIEvent.hpp"
#include "morphs/MorphAction.hpp"
#include "morphs/MorphContext.hpp"

namespace velorin {

// Optional capabilities a morph may implement besides the Morph interface; the
// morph engine finds them by dynamic_cast when the morph is registered.

// Told about every event really sent on the morph's behalf that came from an
// action with a cancellation key.
class MorphSentEventObserver {
public:
    virtual ~MorphSentEventObserver() = default;
    virtual void didSendEvent(const MIDIEvent& event, std::string_view cancellationKey) = 0;
};

// Asked just before a due scheduled event with a cancellation key is sent; may
// change it or drop it (nullopt).
class MorphScheduledEventProcessor {
public:
    virtual ~MorphScheduledEventProcessor() = default;
    virtual std::optional<MIDIEvent> prepareScheduledEvent(const MIDIEvent& event,
                                                           std::string_view cancellationKey) = 0;
};

// Takes a control from the window's looper switches. The meaning of target,
// value and parameter is the Link Looper's; results are appended to `out`.
class MorphLooperControl {
public:
    virtual ~MorphLooperControl() = default;
    virtual void applyLooperControl(std::int64_t target, std::int64_t value, std::int64_t parameter,
                                    const MorphContext& context, MorphActions& out) = 0;
};

}  // namespace velorin
