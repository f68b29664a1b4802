// Processor binding.
#pragma once

#include <pthread.h>

// Pins thread to processor cpu (below 1024; a larger number passes an empty
// set).  Does nothing on a one-processor machine.  Returns 0 in every case.
int bind_thread_to_cpu(unsigned int cpu, pthread_t thread) noexcept;
