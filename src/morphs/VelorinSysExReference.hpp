// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace velorin {

// The static contents of the two device control reference sheets. The window
// draws them; the texts and examples are constants, not live state.

// A label with a value on the same baseline (selectable) and a detail under them.
struct VelorinSysExReferenceRow {
    std::string label;
    std::string value;
    std::string detail;
    friend bool operator==(const VelorinSysExReferenceRow&, const VelorinSysExReferenceRow&) = default;
};

struct VelorinSysExParameterRow {
    std::string parameter;
    std::string name;
    std::string values;
    friend bool operator==(const VelorinSysExParameterRow&, const VelorinSysExParameterRow&) = default;
};

struct VelorinSysExExample {
    std::string label;
    std::string packet;  // the text the "Copy" button puts on the clipboard
    friend bool operator==(const VelorinSysExExample&, const VelorinSysExExample&) = default;
};

// A target number shown above its name.
struct VelorinSysExTargetCell {
    std::string number;
    std::string name;
    friend bool operator==(const VelorinSysExTargetCell&, const VelorinSysExTargetCell&) = default;
};

// A line of explanatory text.
struct VelorinSysExNote {
    std::string text;
    friend bool operator==(const VelorinSysExNote&, const VelorinSysExNote&) = default;
};

// One row of target cells side by side.
struct VelorinSysExTargetCells {
    std::vector<VelorinSysExTargetCell> cells;
    friend bool operator==(const VelorinSysExTargetCells&, const VelorinSysExTargetCells&) = default;
};

using VelorinSysExReferenceItem =
    std::variant<VelorinSysExReferenceRow, VelorinSysExParameterRow, VelorinSysExExample,
                 VelorinSysExTargetCells, VelorinSysExNote>;

// A section: its title (shown upper-cased) above its items, in order.
struct VelorinSysExReferenceSection {
    std::string title;
    std::vector<VelorinSysExReferenceItem> items;
    friend bool operator==(const VelorinSysExReferenceSection&,
                           const VelorinSysExReferenceSection&) = default;
};

struct VelorinSysExReferenceSheet {
    std::string title;
    std::vector<VelorinSysExReferenceSection> sections;
    friend bool operator==(const VelorinSysExReferenceSheet&, const VelorinSysExReferenceSheet&) = default;
};

// Header texts shared by both sheets.
inline constexpr const char* kVelorinSysExReferenceSubtitle = "Velorin protocol reference";
inline constexpr const char* kVelorinSysExReferenceCloseTitle = "Close";
inline constexpr const char* kVelorinSysExCopyTitle = "Copy";

// Width of the label column of a reference row and the indent of its detail, in points.
inline constexpr double kVelorinSysExRowLabelWidth = 112;
inline constexpr double kVelorinSysExRowDetailIndent = 120;
// Widths of the parameter number and name columns of a parameter row, in points.
inline constexpr double kVelorinSysExParameterNumberWidth = 20;
inline constexpr double kVelorinSysExParameterNameWidth = 92;

const VelorinSysExReferenceSheet& linkLooperSysExReference();
const VelorinSysExReferenceSheet& octaveLayerSysExReference();

}  // namespace velorin
