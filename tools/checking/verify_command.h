// make_manifest verify: a published release checked from the outside, as a launcher will see it.
#pragma once

// Runs "make_manifest verify ..." with the arguments after "verify"; returns the exit status: 0
// when no problem was found, 1 with problems (one line each on stdout), 2 for a usage error.
int run_verify(int argc, char** argv);
