/* WebAssembly always rounds to nearest: nothing to set or restore. */
#pragma once
#define SET_RESTORE_ROUND_53BIT(mode)
#define SET_RESTORE_ROUND(mode)
