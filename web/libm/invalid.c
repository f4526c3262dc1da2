/* sinf and cosf of an infinity or NaN: a NaN, raising "invalid". */
float __math_invalidf(float x);
float __math_invalidf(float x) {
    return (x - x) / (x - x);
}
