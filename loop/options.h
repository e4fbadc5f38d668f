// The host's command line. Without arguments the host runs live, as it
// always has; each option turns on a part of loop editing:
//
//   --record FILE   record from the first frame until the window closes
//   --replay FILE   replay a recording from the first frame, then go on live
//   --loop          with --replay: start the replay again after its last frame
//   --headless      with --replay: no window, no pacing; end after the replay
//   --hashes FILE   write a line per frame: its number, a hash of the back
//                   buffer's visible pixels and one of the module's memory
//   --check FILE    compare each frame with such a file; the host exits with
//                   status 1 at the first frame that differs, naming it
//   --no-undo       a faulting frame's writes to module memory stay (undo.h)
//   --history SECONDS       how far back rewind reaches (host/rewind.h;
//                           default 10, 0 turns it off)
//   --history-memory MIB    the most memory its history holds (default 256)
//   --sound FILE    write every sample the module's entry_sound made into a
//                   WAV file (wav.h), headless or not
//
// Paths are taken relative to the directory the host was started in. Words
// that are not options are ignored, as they always were; an unknown word
// beginning with "-" is refused, as it is most likely a mistyped option.
#ifndef LOOP_OPTIONS_H
#define LOOP_OPTIONS_H

#include "engine/base/types.h"

// The exit status of a host stopped by its command line or a failed check.
#define EXIT_BAD_COMMAND_LINE 2
#define EXIT_CHECK_FAILED 1
// The host's exit status when it can't open its window (no display).
#define EXIT_NO_WINDOW 3

typedef struct host_options {
    const char* record;  // each null when not given
    const char* replay;
    const char* hashes;
    const char* check;
    const char* sound;
    bool32 loop;
    bool32 headless;
    bool32 no_undo;
    u32 history_seconds;
    u32 history_mebibytes;
} host_options;

#define HISTORY_SECONDS_DEFAULT 10u
#define HISTORY_MEBIBYTES_DEFAULT 256u

// Reads the arguments after the program's name. False with the reason in
// words for an unknown option, a missing file name or options that don't go
// together.
bool32 parse_options(host_options* options, int count, char** arguments, char* reason,
                     u32 capacity);

// The usage text, for the reason's line.
extern const char* const host_usage;

#endif
