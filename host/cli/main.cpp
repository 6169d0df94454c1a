// korvadin: drives the built plug-in through its exported entry, as the editor does.
#include "commands.h"

#include "host/plugin_module.h"
#include "korvadin_common64.h"

#include <cstdio>
#include <exception>
#include <string_view>

namespace {

constexpr const char* kUsage =
    R"(usage: korvadin [--plugin PATH] [--cpu native|portable] <command> [options]

Loads korvadin_encoder_plugin.dvcp (next to this program, or the file given with --plugin)
through its pluginInit entry exactly as the editor does, and renders with it.

  --cpu native           the codec runs the fastest loops this processor has (the default)
  --cpu portable         the codec runs its portable loops only, to compare them with the
                         faster ones: the files are the same byte for byte

commands:
  codecs                 the codec variants and containers the plug-in registers
  render [INPUT] -o OUT.avi [options]
                         render video (and audio) into a Korvadin AVI file
  decode IN.avi -o OUT   the video track back to Y4M (YUV and luma-only variants) or raw
                         video (RGB variants); OUT '-' writes to standard output
  probe IN.avi           streams, formats, RIFF list and chunk counts, read from the file;
                         says when the file needs repair
  repair IN.avi -o OUT.avi | --in-place
                         finish a file that a render left unfinished (killed, crashed, stopped
                         by a full disk): headers, indexes and RIFFs rebuilt around the packets

render input (one of):
  (none)                 the built-in clip: an animated 1920x1080 scene with a stereo tone
  FILE.y4m | -           Y4M from a file or standard input, e.g.
                           ffmpeg -i in.mov -f yuv4mpegpipe - | korvadin render - -o out.avi
  FILE --raw WxH:PIXFMT [--rate N/D]
                         raw video: rgb24, rgba, rgb48le or rgba64le (default rate 25/1)

render options:
  -o, --output OUT.avi   the file to write (replaced if it exists)
  -c, --codec NAME|4CC   the variant, e.g. K8Y2 or "10-bit YUV 422" (default: the one that
                         follows the input's layout and depth; see 'korvadin codecs')
  --audio FILE.wav       add an audio track (repeatable): 8/16/24/32-bit PCM or 32-bit float
  --frames N             stop after N frames (the built-in clip has 75 by default)
  --threads N            codec threads (default: one per processor)
  --shortest             end every audio track with the last video frame (by default all of
                         the audio is kept, also past the last frame); says what it dropped
  --verify               decode every frame as it is written and compare it with the input,
                         then read the file back and compare every packet
  Ctrl-C (or SIGTERM) stops reading input and finishes the file with the frames so far; a
  second Ctrl-C stops at once, leaving a file for 'korvadin repair'.

repair options:
  -o, --output OUT.avi   write the repaired file here; IN.avi is only read
  --in-place             repair IN.avi itself, for files too large to copy: it cuts off only
                         what no reader can use, then patches and appends, so if it is
                         interrupted, run it again
  Every complete chunk is kept and copied byte for byte. A partial last chunk and any video
  packet that does not decode are dropped, each named with the reason. A file that needs no
  repair is left untouched. For example, after a render was killed:
    korvadin probe cut.avi                 # "needs repair", and why
    korvadin repair cut.avi -o fixed.avi   # or: korvadin repair cut.avi --in-place
    korvadin decode fixed.avi -o frames.y4m
)";

} // namespace

int main(int argc, char** argv) {
    cli::Context context{host::defaultPluginPath(), {}};
    std::string command;
    int i = 1;
    for (; i < argc && command.empty(); ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--plugin" && i + 1 < argc) {
            context.pluginPath = argv[++i];
        } else if (arg == "--cpu" && i + 1 < argc) {
            // The plug-in loads the same codec library as this program, so the choice holds for
            // the encoders it opens too.
            const std::string_view cpu = argv[++i];
            if (cpu != "native" && cpu != "portable") {
                std::fprintf(stderr, "korvadin: --cpu takes native or portable, not '%s'\n",
                             argv[i]);
                return 2;
            }
            korvadin_set_cpu_mask(cpu == "native" ? ~0u : 0u);
        } else if (arg == "-h" || arg == "--help" || arg == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            command = arg;
        }
    }
    context.args.assign(argv + i, argv + argc);
    for (const auto& arg : context.args) {
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    try {
        if (command == "codecs") {
            return cli::runCodecs(context);
        }
        if (command == "render") {
            return cli::runRender(context);
        }
        if (command == "decode") {
            return cli::runDecode(context);
        }
        if (command == "probe") {
            return cli::runProbe(context);
        }
        if (command == "repair") {
            return cli::runRepair(context);
        }
        if (command.empty()) {
            std::fprintf(stderr, "korvadin: no command given\n\n%s", kUsage);
        } else {
            std::fprintf(stderr, "korvadin: unknown command '%s'\n\n%s", command.c_str(), kUsage);
        }
        return 2;
    } catch (const cli::UsageError& e) {
        std::fprintf(stderr, "korvadin %s: %s\n(korvadin --help shows the options)\n",
                     command.c_str(), e.message.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvadin %s: %s\n", command.c_str(), e.what());
        return 1;
    }
}
