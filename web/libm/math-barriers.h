/* Keeps the compiler from moving or dropping evaluations, as glibc does. */
#pragma once
#define math_opt_barrier(x) ({ __typeof(x) __x = (x); __asm__("" : "+m"(__x)); __x; })
#define math_force_eval(x) ({ __typeof(x) __x = (x); __asm__ __volatile__("" : : "m"(__x)); })
