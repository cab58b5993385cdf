#pragma once
// km2's command line: the MPlayer-style options the application passes, and
// what of them goes on to Debian's mplayer. Plain C++ so tests can use it.

#include <string>
#include <vector>

namespace km2 {

struct Invocation {
    std::vector<std::string> options; // options for mplayer, without the file
    std::string file;                 // the TKL-framed file to play
    std::string error;                // non-empty when the command line is unusable
};

// Parses argv[1..] (args excludes the program name). "-vo" with an empty
// value is dropped (mplayer refuses it); options that take a value keep it;
// unknown options pass through unchanged; "-demuxer lavf" is added unless a
// demuxer was given, since the payload arrives as a raw stream on a pipe.
Invocation parseArgs(const std::vector<std::string>& args);

} // namespace km2
