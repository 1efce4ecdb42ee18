// make_manifest prune: the objects and block maps of an upload folder that no list players may
// still hold names any more, removed when the studio asks.
#pragma once

// Runs "make_manifest prune ..." with the arguments after "prune"; returns the exit status: 0
// when done, 1 when nothing was removed because a list could not be read or a file could not be
// removed, 2 for a usage error.
int run_prune(int argc, char** argv);
