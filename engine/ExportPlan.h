// The start of one clip's export, up to its first frame: the path line, the
// source check, the plan's inputs, frame 0, the planner, and the source and
// destination lines. `vorn plan` runs these steps alone; the export driver
// runs them around the exporter's configuration.
#pragma once

#include "engine/BGinfo.h"
#include "engine/ConversionPlan.h"
#include "engine/FrameProcesser.h"

#include <memory>
#include <string>
#include <string_view>

class CCaller;
class CMxfFile;
class CVorn;
class COptions;

namespace vorn {

// The settings of one export: the program reads them from its options once
// and hands them to the engine when the export starts.
struct ExportOptions {
    bool removePulldown = false;   // "RemovePulldown"
    bool addPulldown = false;      // "AddPulldown"
    float desiredRate = 23.976f;   // "DesiredFrameRate"
    bool rotate = false;           // "Rotation"
    bool remove32 = false;         // "Remove32"
    bool removeAdvanced = false;   // "RemoveAdvanced"
    bool add32 = false;            // "Add32"
    bool addAdvanced = false;      // "AddAdvanced"
    bool reduceNoise = false;      // "ReduceNoise"
    std::string desiredFrameSize = "no conversion";   // "DesiredFrameSize"
    bool showFrames = false;       // "ShowFrames"
    std::string frameScale = "Half size";   // "FrameScale"
    int cardSizeGB = 16;           // "CardSize": GB a card of the output holds, 0 for no limit
};

// Reads the export's options. A desired frame rate that is not a usable rate
// (not above 0, or 1000 and more) reads as the default 23.976.
ExportOptions exportOptionsFrom(const COptions& options);

// Hands the export's settings to the engine as the pane does at Start: the
// remove-pulldown and add-pulldown flags and the desired frame rate.
void applyExportOptions(CVorn& engine, const ExportOptions& options);

// The frame size choice of a "DesiredFrameSize" text: the last of the tests
// "1920" (1), "1280" (2), "NTSC DVCPRO50" (3), "PAL DVCPRO50" (4),
// "NTSC DV/DVCPRO25" (5), "PAL DVCPRO25" (6) that the text contains
// (case-sensitive); 0 when it contains none.
int32_t frameSizeChoiceOf(std::string_view desiredFrameSize);

// Fills the plan's inputs from the open source clip, the engine's pulldown
// flags and desired rate, and the export's options.
void fillPlanInputs(ConversionPlan& plan, const CMxfFile& clip, const CVorn& engine, const ExportOptions& options);

// One clip's export state from opening the source to the frame loop.
struct ClipExport {
    std::string sourcePath;
    std::unique_ptr<CMxfFile> clip;
    ConversionPlan plan;
    FrameBuffers buffers;
    // The clip's binary group: frame 0's record for the planner, then the
    // running time code the output frames are stamped with.
    BGinfo binaryGroup;
    std::unique_ptr<FrameProcesser> processor;
    // Why the start failed, with the system's reason when the file could not
    // be read ("not recognized as a video MXF file: No such file or directory").
    std::string failure;

    ClipExport();
    ~ClipExport();
    ClipExport(const ClipExport&) = delete;
    ClipExport& operator=(const ClipExport&) = delete;
};

enum class ClipStart {
    Planned,         // the plan is made; the exporter can be configured
    NotRecognized,   // not a video MXF: warned, the caller's error flag set
    Unreadable,      // an edit rate its format does not allow: told, the caller's error flag set
    NoFrameBuffer,   // frame 0 could not be buffered
};

// Opens the source and plans it: prints the path line, checks the file (the
// "not recognized" warning), fills the plan, reads frame 0 into decoded
// picture 0 and runs PlanConversion. The engine's pulldown flags and desired
// rate are taken as set; the desired rate is stored back into the engine.
ClipStart startClipExport(CCaller& caller, CVorn& engine, const char* sourcePath,
                          const ExportOptions& options, ClipExport& out, CExportBase* exporter = nullptr);

// After the exporter is configured: a source of format code 0 gets "This
// format is not supported." and false (the clip ends); otherwise the
// "Source:" and "Dest:" lines are printed and the result is true.
bool reportSourceAndDest(CCaller& caller, const ClipExport& clip);

// Bytes of 16-bit 48 kHz audio the export moves per step: one output frame's
// worth, (48000 x rateDen / rateNum) x 2, five times that for 3:2 removal
// from a 60i source.
size_t audioChunkBytes(const ConversionPlan& plan);

// The whole pre-frame part for one clip, with no exporter: what `vorn plan`
// prints. True when the export of the clip would go on to its frames.
bool planClip(CCaller& caller, CVorn& engine, const char* sourcePath, const ExportOptions& options);

} // namespace vorn
