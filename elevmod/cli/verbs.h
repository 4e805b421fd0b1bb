// The verbs: each takes the whole command line (argv[1] is the verb) and
// returns the exit status.
#pragma once

namespace elevmod {

int do_load(int argc, char** argv);
int do_unload(int argc, char** argv);
int do_status(int argc, char** argv);
int do_run(int argc, char** argv);
int do_trace(int argc, char** argv);
int do_draw(int argc, char** argv);

}  // namespace elevmod
