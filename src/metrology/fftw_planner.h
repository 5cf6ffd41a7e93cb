// One planner lock for every FFTW user in the process: FFTW's own, installed once, so that plans
// made and destroyed in different threads and by different modules never overlap.
#pragma once

// Installs FFTW's planner lock (libfftw3_threads: fftw_make_planner_thread_safe) the first time
// it is called in the process; later calls return at once. From then on FFTW itself serialises
// every plan creation and destruction, whichever module or thread makes them, while
// fftw_execute still runs unserialised. Call it before making or destroying any plan. Safe to
// call from any thread at any time; it cannot fail.
void makeFftwPlannerThreadSafe();
