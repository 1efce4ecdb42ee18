// The switch from the installed release to the next, once every changed file waits verified in
// its part: the record of what the switch does ("launcher.switch"), its moves and deletions, and
// the record of the release it leaves installed ("launcher.installed").
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What one switch does, in its order: the moves, then the deletions.
struct ReleaseSwitch {
    std::vector<std::string> moves;    // listed paths whose verified ".part" takes their name
    std::vector<std::string> deletes;  // paths the list deletes
    std::string program;               // the program START runs; empty when none is named
    std::vector<std::string> files;    // the listed paths the release replaces when they differ (F|)
    std::vector<std::string> kept;     // the listed paths a player's copy of is kept (K|)
    // False for a record an earlier launcher wrote: its F| lines hold the kept paths too, so none
    // of them may be taken for a plain file the next release dropped.
    bool kinds_apart = true;
};

// How a switch tells its caller how far it has come: `done` of `count` moves, before the first,
// after every sixteenth and after the last.
struct SwitchSink {
    void (*moved)(void* context, size_t done, size_t count);
    void* context;  // the caller's, handed back with every call
};

// False with the path and the reason of the first target of a move or a deletion that could not
// take a new name now (held by another program, or a folder under its name). Nothing moves then.
bool may_switch(const std::string& folder, const ReleaseSwitch& change, std::string& failed_path,
                std::string& error_text);

// Writes the switch record whole and flushed to `folder` (the game folder, ending in "\"), then
// moves every part over its target, written through, deletes the listed deletions and replaces
// the installed record whole. The switch record stays until end_switch, so that a cut at any
// moment is finished by finish_pending_switch. A switch that neither moves nor deletes a file
// writes no switch record. False with the path and the reason of the first move that failed, or
// with the reason the switch record could not be written (nothing moved then); a failed move
// leaves the record and every part not moved yet for the next try to finish.
bool run_switch(const std::string& folder, const ReleaseSwitch& change, const SwitchSink& progress,
                std::string& failed_path, std::string& error_text);

// Removes the switch record once the caller has recorded the moved files in the digest cache.
void end_switch(const std::string& folder);

// Finishes a switch that a kill, a power cut or a failed move left behind: the parts that are
// still there take their names, the deletions and the installed record follow, then the record
// goes. True when there was none or it is finished; false with the path and the reason of a move
// that failed again, the record then kept.
bool finish_pending_switch(const std::string& folder, const SwitchSink& progress, std::string& failed_path,
                           std::string& error_text);

// Adds to change.deletes every path the installed release listed as a plain file that `change`
// lists in no letter case and that is a file on disk: what a release dropped goes with the switch
// that installs the next, whichever releases came between. Kept paths, the launcher's own files,
// `launcher_file` (the running launcher) and paths of a record from an earlier launcher stay. A
// list that names no file at all carries a message, not a release without files: it drops
// nothing, and the installed release's paths stay recorded.
void add_dropped_files(const std::string& folder, const std::string& launcher_file, ReleaseSwitch& change);

// The installed release's program from its record; false when there is no record or it names
// none.
bool read_installed_program(const std::string& folder, std::string& program);
