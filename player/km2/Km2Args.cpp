#include "player/km2/Km2Args.h"

#include <algorithm>
#include <array>

namespace km2 {

namespace {
// MPlayer options of the kind "-name value" that may reach us.
constexpr std::array<const char*, 16> kValueOptions = {
    "-vo", "-ao", "-wid", "-autosync", "-cache", "-cache-min", "-demuxer", "-vf",
    "-af", "-fps", "-ss", "-input", "-lavfdopts", "-vc", "-monitoraspect", "-geometry"};

bool takesValue(const std::string& opt)
{
    return std::any_of(kValueOptions.begin(), kValueOptions.end(), [&](const char* o) { return opt == o; });
}
} // namespace

Invocation parseArgs(const std::vector<std::string>& args)
{
    Invocation inv;
    bool haveDemuxer = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            if (takesValue(a)) {
                if (i + 1 >= args.size()) {
                    inv.error = "option " + a + " needs a value";
                    return inv;
                }
                const std::string& value = args[++i];
                if (a == "-vo" && value.empty())
                    continue;
                haveDemuxer = haveDemuxer || a == "-demuxer";
                inv.options.push_back(a);
                inv.options.push_back(value);
            } else {
                inv.options.push_back(a);
            }
        } else if (inv.file.empty()) {
            inv.file = a;
        } else {
            inv.error = "more than one file given (" + inv.file + ", " + a + ")";
            return inv;
        }
    }
    if (inv.file.empty()) {
        inv.error = "no file to play";
        return inv;
    }
    if (!haveDemuxer) {
        inv.options.push_back("-demuxer");
        inv.options.push_back("lavf");
    }
    // Subtitle search and mouse bindings make no sense for an embedded preview
    // (a double click would toggle mplayer's full screen).
    inv.options.push_back("-noautosub");
    inv.options.push_back("-nomouseinput");
    return inv;
}

} // namespace km2
