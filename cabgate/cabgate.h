// cabgate: the road to the elevator module, which answers system calls 323,
// 324 and 325, and the executable fingerprint that both tools print first.
//
// Every call returns the service result: the system call's return value
// narrowed to 32 bits.  0 means done, 1 means refused, any other value
// (-1 among them, for any kernel error) means the module is not loaded.
#ifndef CABGATE_CABGATE_H
#define CABGATE_CABGATE_H

// C linkage, so that C programs link the library too.
#ifdef __cplusplus
extern "C" {
#endif

// Starts the elevator.  1: it had already been started.
int start_elevator(void);

// Hands the module one passenger, values passed on unchecked.  1: the
// request is invalid.
int issue_request(int type, int start_floor, int dest_floor);

// Stops the elevator.  1: a stop had already been issued.
int stop_elevator(void);

// Prints the MD5 digest of the file that `path` names (the program's
// invocation path, only read) through md5sum and the shell, then pauses
// three seconds.  Failures are not reported: md5sum complains on stderr.
void signiture(const char* path);

#ifdef __cplusplus
}
#endif

#endif
