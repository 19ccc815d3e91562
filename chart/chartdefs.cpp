#include "chartdefs.h"

#include <cmath>

EListError::EListError(int index)
    : std::out_of_range("List index out of bounds (" + std::to_string(index) + ")"), index_(index)
{
}

int MulDiv(int a, int b, int c)
{
    if (c == 0)
        return -1;
    const long long num = static_cast<long long>(a) * b;
    long long q = num / c;
    const long long r = num % c;
    // Round half away from zero: compare twice the remainder with the divisor.
    const long long r2 = (r < 0 ? -r : r) * 2;
    const long long cabs = c < 0 ? -static_cast<long long>(c) : c;
    if (r2 >= cabs)
        q += ((num < 0) != (c < 0)) ? -1 : 1;
    if (q > 2147483647LL || q < -2147483648LL)
        return -1;
    return int(q);
}
