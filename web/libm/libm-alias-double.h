/* The functions are compiled under their public names: no aliases. */
#pragma once
#define libm_alias_double(from, to)
