// The application's option keys and the options store. Each program owns its
// options value (loaded from its options file) and hands on what others need.
#pragma once

#include "foundation/Preferences.h"

// The option keys, in the order the store registers them and writes them.
namespace OptionKey {
inline constexpr char AddPulldown[] = "AddPulldown";
inline constexpr char RemovePulldown[] = "RemovePulldown";
inline constexpr char Rotation[] = "Rotation";
inline constexpr char ShowFrames[] = "ShowFrames";
inline constexpr char DesiredFrameRate[] = "DesiredFrameRate";
inline constexpr char DesiredFrameSize[] = "DesiredFrameSize";
inline constexpr char FrameScale[] = "FrameScale";
inline constexpr char CardSize[] = "CardSize";
inline constexpr char DestinationFolder[] = "DestinationFolder";
inline constexpr char ReduceNoise[] = "ReduceNoise";
inline constexpr char Add32[] = "Add32";
inline constexpr char AddAdvanced[] = "AddAdvanced";
inline constexpr char Remove32[] = "Remove32";
inline constexpr char RemoveAdvanced[] = "RemoveAdvanced";
inline constexpr char ShowUpdates[] = "ShowUpdates";
inline constexpr char BreadCrumbs[] = "BreadCrumbs";
} // namespace OptionKey

// The texts of DesiredFrameSize.
namespace FrameSizeText {
inline constexpr char NoConversion[] = "no conversion";
inline constexpr char To1080[] = "Convert all to 1920 x 1080 DVCPROHD";
inline constexpr char To720[] = "Convert all to 1280 x 720 DVCPROHD";
inline constexpr char ToNtsc50[] = "Convert all to NTSC DVCPRO50";
inline constexpr char ToPal50[] = "Convert all to PAL DVCPRO50";
inline constexpr char ToNtsc25[] = "Convert all to NTSC DV/DVCPRO25";
inline constexpr char ToPal25[] = "Convert all to PAL DVCPRO25";
} // namespace FrameSizeText

// The settings store with every option key registered with its default.
class COptions : public Preferences {
public:
    COptions();
    ~COptions() override = default;

    using Preferences::load;
    // Behaves as load(path); the extra argument is not used.
    virtual bool load(const QelString& path, int unused);
    // Writes the options file (see Preferences::save).
    virtual bool save(const char* path = nullptr) { return Preferences::save(path); }

    // CardSize read as a decimal integer number of gigabytes ("16 GB" is 16);
    // 0 means no limit. Negative or non-numeric values read as 0; very large
    // values saturate.
    int getCardSize() const;
    void setShowUpdates(bool on) { setBool(OptionKey::ShowUpdates, on); }
};
