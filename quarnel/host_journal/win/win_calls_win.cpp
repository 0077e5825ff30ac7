#include "win_calls.h"

win_calls& win() {
    static win_calls calls;
    return calls;
}
