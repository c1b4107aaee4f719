#pragma once
// How the programs' worker threads wait. OpenMP's threads by default spin
// for a while at every barrier and between parallel parts: on a machine
// whose cores are all in use that spinning takes processor time from the
// program's own decoding and encoding threads and from everything else (a
// whole run then takes nearly twice the processor time). They are made to
// sleep while they wait instead. The runtime reads the policy from the
// environment when it is loaded, before main, so a program that finds it
// unset sets it and starts itself again; a policy the user has set is kept.

namespace vistarium::app {

// Call first thing in main. Returns only when the policy is in force (or
// cannot be set: the program then goes on as it is).
void UsePassiveWorkerThreads(char** argv);

}  // namespace vistarium::app
