// The window's title: the host's name, then what loop editing is doing,
// then the latest load or fault event, one title per event:
//  - a fault with no previous build to go back to (no marker otherwise):
//    "Engine - fault: access violation (0xC0000005) writing 0x0 at main.dll+0x1A2B - rebuild to resume"
//  - a fault in the build on probation, the previous one running again:
//    "Engine - fault in the new build: access violation (SIGSEGV) writing 0x0 at main.so+0x1A2B - running the previous build"
//  - a new build that did not load (the running build, if any, carries on):
//    "Engine - the new build did not load: <reason> - rebuild to retry", the
//    reason one of "missing library libfoo.so", "start-up routine failed",
//    "fault in start-up: <fault as above>", "no entry export", "a 32-bit
//    library", "a library for another machine", "an executable, not a
//    library", or the system's own words;
//  - a fault in an old build's destructors while it was unloaded:
//    "Engine - fault while unloading the old build: <fault as above>";
//  - a faulting frame that could not be undone:
//    "Engine - fault: <fault> - module memory could not be put back as the frame found it".
// A fatal stop of the base library (ud2) is named "broken invariant"; the
// module's call of exit with a status other than 0 is a fault named "the
// module called exit(3) at main.so+0x1A2B" (or _exit, _Exit, quick_exit).
// Its exit(0) ends the host after the frame: "Engine - the module called
// exit(0)".
#ifndef HOST_TITLE_H
#define HOST_TITLE_H

#include "guard/fault.h"
#include "host/reload.h"

// The title for a fault, for example
// "Engine - fault: access violation (0xC0000005) writing 0x0 at main.dll+0x1A2B - rebuild to resume".
// library is the loaded build; addresses are named by the library that
// holds them, the build by the module file's own name, or given whole.
void fault_title(module_fault* fault, void* library);

// The fault in the title's words, without "Engine - ": "access violation
// (SIGSEGV) writing 0x0 at main.so+0x1A2B".
void describe_fault(const module_fault* fault, void* library, char* out, u32 capacity);

// A FAULT_EXIT's words without its place: "the module called exit(0)".
void exit_words(const module_fault* fault, char* out, u32 capacity);

// The title after a rollback (see above), into fault->title.
void rollback_title(module_fault* fault, void* library);

// The title when the faulting frame could not be undone (a block's place
// taken, no memory for a copy), into fault->title: "Engine - fault: <fault>
// - module memory could not be put back as the frame found it".
void unrestored_title(module_fault* fault, void* library);

// The window title is the host's name, then what loop editing is doing,
// then what the build watcher is doing (build_status.h), then the latest
// load or fault event, joined with " - ":
// "Engine - loop 37/120 - building... - fault: access violation ...".
// Without the two parts in the middle it is the event's title as above. A
// null window (headless) has none.
//
// An event's title, beginning with "Engine".
void title_show_event(host_window* window, const char* title);
// An event a user is told of wherever they look (a fault, a rollback, a
// build held, refused or waiting, what a reload kept, started afresh or
// found removed): its title shown as above, and one line on standard error
// with the same words, "Engine: fault: ..." for "Engine - fault: ...", or
// with line's words when given (a note whose title names the first few of
// a list names all there). Nothing is written for the bare "Engine". Once
// for each event: a title that stays is not written again.
void title_report_event(host_window* window, const char* title, const char* line);
// A line on standard error of the same form, "Engine: <words>".
void title_say_line(const char* words);
// What loop editing is doing ("recording", "loop 37/120"); "" while live.
void title_show_loop(host_window* window, const char* state);
// What the build watcher is doing ("building...", "build failed: ..."); ""
// for nothing.
void title_show_build(host_window* window, const char* part);

// The title from its parts as above, cut to capacity; loop and build are ""
// when there is nothing to say, the event "" before the first.
void compose_title(char* out, u32 capacity, const char* loop, const char* build,
                   const char* event);

// "Engine - the new build did not load: <reason> - rebuild to retry".
void load_failure_title(char* out, u32 capacity, const char* reason);

// "Engine - fault while unloading the old build: <fault>".
void unload_fault_title(char* out, u32 capacity, const module_fault* fault);

// Makes a fault's title (fault_title, rollback_title or unrestored_title)
// through the guard: naming a place reads the libraries' tables, which the
// faulting module may have broken as well; when that faults, the title is
// made again with bare addresses.
typedef void title_maker(module_fault* fault, void* library);
void make_title_guarded(title_maker* make, module_fault* fault, void* library);

#endif
