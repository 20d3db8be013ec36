#include "foundation/Options.h"

#include "foundation/Platform.h"

#include <climits>
#include <cstdlib>

COptions::COptions()
{
    registerDefault(OptionKey::AddPulldown, "0");
    registerDefault(OptionKey::RemovePulldown, "0");
    registerDefault(OptionKey::Rotation, "0");
    registerDefault(OptionKey::ShowFrames, "0");
    registerDefault(OptionKey::DesiredFrameRate, "23.976");
    registerDefault(OptionKey::DesiredFrameSize, FrameSizeText::NoConversion);
    registerDefault(OptionKey::FrameScale, "Half size");
    registerDefault(OptionKey::CardSize, "16");
    registerDefault(OptionKey::DestinationFolder, vorn::defaultDestinationFolder());
    registerDefault(OptionKey::ReduceNoise, "0");
    registerDefault(OptionKey::Add32, "0");
    registerDefault(OptionKey::AddAdvanced, "0");
    registerDefault(OptionKey::Remove32, "0");
    registerDefault(OptionKey::RemoveAdvanced, "0");
    registerDefault(OptionKey::ShowUpdates, "1");
    registerDefault(OptionKey::BreadCrumbs, "0");
}

bool COptions::load(const QelString& path, int)
{
    return Preferences::load(path);
}

int COptions::getCardSize() const
{
    const char* p = getString(OptionKey::CardSize).c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    if (*p == '-')
        return 0;
    if (*p == '+')
        ++p;
    long long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + (*p - '0');
        if (n > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(n);
}
