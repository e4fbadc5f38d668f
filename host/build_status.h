// What the module's build watcher is doing, shown in the window's title.
//
// A tool that rebuilds the module whenever a source is saved
// (scripts/watch.py) says what it is doing in a small file beside the module
// file: the module file's path with ".status" appended. It writes the file
// under another name and renames it into place, so every change is a new
// file, and deletes it once a build succeeded (after the new module file is
// in place) and when it exits.
//  - first line "building": a build is under way; the title's part is
//    "building...";
//  - first line "failed", the compiler's message on the second: the latest
//    build failed; "build failed: <message>", or "build failed" without one;
//  - anything else, no file, or one that is not a readable regular file: no
//    part.
// Lines end in "\n" or "\r\n"; only the first BUILD_STATUS_READ bytes count.
// Control characters in the message become spaces; a message too long for
// the part is cut between UTF-8 characters.
//
// The host glances at the file's entry once a frame (library_file_glance)
// and reads it only when that changed, so without a watcher the cost is one
// look that finds nothing. A failure is
// shown until the next good build loads: a build that poll_module loads
// clears the part (the file may outlive it), and only a new file brings one
// back.
#ifndef HOST_BUILD_STATUS_H
#define HOST_BUILD_STATUS_H

#include "host/reload.h"

#define BUILD_STATUS_SUFFIX ".status"
#define BUILD_STATUS_READ 1024
#define BUILD_STATUS_CAPACITY MODULE_TITLE_CAPACITY

typedef struct build_status {
    u64 identity;  // library_file_glance of the file last looked at; 0 for none
    u32 loads;     // the module's `loads` at the last look
    char part[BUILD_STATUS_CAPACITY];  // the title's part; "" for none
} build_status;

// The title's part for the file's first size bytes, into part (capacity
// bytes, terminated): "building...", "build failed: <message>", "build
// failed" or "".
void build_status_parse(const char* text, u32 size, char* part, u32 capacity);

// Once a frame, after poll_module: clears the part when a new build has
// loaded since the last look, and reads the file again when its identity
// changed. True when the part changed.
bool32 build_status_poll(build_status* status, const module_state* module);

#endif
