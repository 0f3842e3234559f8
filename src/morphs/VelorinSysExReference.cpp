// SPDX-License-Identifier: GPL-3.0-or-later
#include "morphs/VelorinSysExReference.hpp"

namespace velorin {

namespace {

const VelorinSysExReferenceRow kManufacturerRow{"Manufacturer ID", "00 01 7E", "Quintrel"};

VelorinSysExReferenceSheet makeLinkLooperSheet() {
    VelorinSysExReferenceSheet sheet;
    sheet.title = "LINK LOOPER SYSEX";

    sheet.sections.push_back(
        {"Protocol",
         {kManufacturerRow, VelorinSysExReferenceRow{"Packet", "F0 00 01 7E 01 01 TT PP VV F7",
                                                     "TT target \u2022 PP parameter \u2022 VV value"}}});

    VelorinSysExTargetCells cells;
    for (int i = 0; i < 4; ++i) {
        cells.cells.push_back({std::to_string(i), "Looper " + std::to_string(i + 1)});
    }
    sheet.sections.push_back(
        {"Targets (TT)",
         {VelorinSysExNote{"Looper targets are zero-based. Shared settings use 7F."}, cells,
          VelorinSysExReferenceRow{"Shared", "7F", "Loop length and other shared settings"}}});

    sheet.sections.push_back(
        {"Parameters (PP / VV)",
         {VelorinSysExParameterRow{"0", "Set looper", "00...3F off \u2022 40...7F on \u2022 feedback 00/7F"},
          VelorinSysExParameterRow{"1", "Volume", "0...127"},
          VelorinSysExParameterRow{
              "2", "Mute", "00...3F unmuted \u2022 40...7F muted \u2022 feedback 00/7F \u2022 persisted"},
          VelorinSysExParameterRow{
              "3", "Loop length",
              "TT 7F \u2022 VV 00...3F \u2192 1...64 \u2022 VV 40...7F \u2192 64 \u2022 persisted"},
          VelorinSysExNote{
              "About two seconds after startup, Link Looper emits a full state snapshot on Control "
              "Outputs."}}});

    sheet.sections.push_back(
        {"Examples",
         {VelorinSysExExample{"Looper 1 on", "F0 00 01 7E 01 01 00 00 7F F7"},
          VelorinSysExExample{"Looper 1 off", "F0 00 01 7E 01 01 00 00 00 F7"},
          VelorinSysExExample{"Looper 3 volume 64", "F0 00 01 7E 01 01 02 01 40 F7"},
          VelorinSysExExample{"Looper 4 mute on", "F0 00 01 7E 01 01 03 02 7F F7"},
          VelorinSysExExample{"Loop length 8 beats", "F0 00 01 7E 01 01 7F 03 07 F7"},
          VelorinSysExExample{"Loop length 1 beat", "F0 00 01 7E 01 01 7F 03 00 F7"},
          VelorinSysExExample{"Loop length 64 beats", "F0 00 01 7E 01 01 7F 03 3F F7"}}});
    return sheet;
}

VelorinSysExReferenceSheet makeOctaveLayerSheet() {
    VelorinSysExReferenceSheet sheet;
    sheet.title = "OCTAVE LAYER SYSEX";

    sheet.sections.push_back(
        {"Protocol",
         {kManufacturerRow, VelorinSysExReferenceRow{"Packet", "F0 00 01 7E 01 02 TT PP VV F7",
                                                     "Product 01 \u2022 Octave Layer protocol 02 \u2022 TT "
                                                     "target \u2022 PP parameter \u2022 VV value"}}});

    sheet.sections.push_back(
        {"Targets (TT)",
         {VelorinSysExNote{"Layer targets are zero-based and match the settings panel order."},
          VelorinSysExTargetCells{{{"0", "-2 OCT"}, {"1", "-1 OCT"}, {"2", "+1 OCT"}, {"3", "+2 OCT"}}}}});

    sheet.sections.push_back(
        {"Parameters (PP / VV)",
         {VelorinSysExParameterRow{"0", "Set layer", "00...3F off \u2022 40...7F on"},
          VelorinSysExNote{
              "Accepted commands update the same persisted layer settings as the panel toggles."}}});

    sheet.sections.push_back({"Examples",
                              {VelorinSysExExample{"-2 OCT on", "F0 00 01 7E 01 02 00 00 7F F7"},
                               VelorinSysExExample{"-2 OCT off", "F0 00 01 7E 01 02 00 00 00 F7"},
                               VelorinSysExExample{"-1 OCT on", "F0 00 01 7E 01 02 01 00 7F F7"},
                               VelorinSysExExample{"+1 OCT on", "F0 00 01 7E 01 02 02 00 7F F7"},
                               VelorinSysExExample{"+2 OCT off", "F0 00 01 7E 01 02 03 00 00 F7"}}});
    return sheet;
}

}  // namespace

const VelorinSysExReferenceSheet& linkLooperSysExReference() {
    static const VelorinSysExReferenceSheet sheet = makeLinkLooperSheet();
    return sheet;
}

const VelorinSysExReferenceSheet& octaveLayerSysExReference() {
    static const VelorinSysExReferenceSheet sheet = makeOctaveLayerSheet();
    return sheet;
}

}  // namespace velorin
