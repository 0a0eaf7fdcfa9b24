// Arithmetic on the model's `vector` record, shared by the modules that work
// with points, directions and frames.  Each operation is written out
// component by component, left to right, so that it rounds the same way
// wherever it is used (the fitting step's results are compared to the bit).
#ifndef VECTOR_OPS_H
#define VECTOR_OPS_H

#include <cmath>
#include <cstring>

#include "hybroid.h"

inline vector add_vector(vector a, vector b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

inline vector sub_vector(vector a, vector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

inline vector scaled_vector(vector a, double s) { return {a.x * s, a.y * s, a.z * s}; }

inline double dot_vector(vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline double length_vector(vector a) { return sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }

// Right-handed cross product a x b.
inline vector cross_vector(vector a, vector b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// m v for a row-major 3x3 matrix.
inline vector matrix_times_vector(const double m[3][3], vector v) {
  return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
          m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
          m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

// The same bits (a memo's key: -0 and +0 differ, NaN matches itself).
inline bool same_vector_bits(const vector &a, const vector &b) {
  return memcmp(&a, &b, sizeof a) == 0;
}

#endif
