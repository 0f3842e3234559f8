// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include <functional>

#include "morphs/VelorinSysExReference.hpp"

class QLabel;
class QScrollArea;

namespace velorin {

class NeonButton;

// A device control reference sheet: a header with the sheet's title, the line
// "Velorin protocol reference" and "Close" (calls `onClose`), and below it the
// sections, scrolling. Rows put the label in a 112 px column with the value
// (selectable) beside it and the detail under them indented 120 px; parameter
// rows use a right-aligned 20 px number column and a 92 px name column;
// examples have a "Copy" button that puts the packet text on the clipboard.
// The contents are static.
class VelorinSysExReferenceSheetView : public QWidget {
    Q_OBJECT
public:
    VelorinSysExReferenceSheetView(const VelorinSysExReferenceSheet& sheet, std::function<void()> onClose,
                                   QWidget* parent = nullptr);

    const VelorinSysExReferenceSheet& sheet() const { return sheet_; }
    NeonButton& closeButton() const { return *close_; }
    // The "Copy" buttons in the order of the examples.
    const std::vector<NeonButton*>& copyButtons() const { return copyButtons_; }

private:
    QWidget* makeSection(const VelorinSysExReferenceSection& section, QWidget* parent);
    QWidget* makeItem(const VelorinSysExReferenceItem& item, QWidget* parent);

    const VelorinSysExReferenceSheet& sheet_;
    std::function<void()> onClose_;
    NeonButton* close_ = nullptr;
    std::vector<NeonButton*> copyButtons_;
};

// The Link Looper's protocol 01 sheet ("LINK LOOPER SYSEX").
class LinkLooperSysExReferenceView final : public VelorinSysExReferenceSheetView {
    Q_OBJECT
public:
    explicit LinkLooperSysExReferenceView(std::function<void()> onClose, QWidget* parent = nullptr);
};

// The Octave Layer's protocol 02 sheet ("OCTAVE LAYER SYSEX").
class OctaveLayerSysExReferenceView final : public VelorinSysExReferenceSheetView {
    Q_OBJECT
public:
    explicit OctaveLayerSysExReferenceView(std::function<void()> onClose, QWidget* parent = nullptr);
};

}  // namespace velorin
