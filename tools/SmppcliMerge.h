// smppcli merge: summaries of runs made side by side, added into one.
#pragma once

// Runs "smppcli merge A.json B.json ...", Argv[0] being "merge": reads each file's summary, adds
// them up, writes the merged summary as one line of JSON on standard output and its text on
// standard error. Returns 0 when merged and every run passed, 1 when merged and a run failed, 2
// on bad input (no file, a file unreadable or no summary, histograms of different schemes, one run
// given twice, a summary that contradicts its own exit status).
int RunMerge(int Argc, char** Argv);
