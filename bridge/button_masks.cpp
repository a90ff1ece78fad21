#include "bridge/button_masks.h"

ButtonMasks buttonMasks = {{0}, {0}, {0}};

int32_t ButtonBit(int32_t n) {
    return n >= 1 && n <= 8 ? int32_t{1} << (n - 1) : 0;
}

void ComputeButtonMasks(int32_t mode, int32_t buttonNumber, int32_t inverted) {
    int32_t first = ButtonBit(buttonNumber);
    int32_t second = ButtonBit(buttonNumber + 1);
    int32_t press = first;
    int32_t secondPress = second;
    int32_t idle = 0;
    // Inverted values show a pressed button as a cleared bit; only the bits of the
    // buttons in play are set at rest.
    if (inverted == 1 && mode == 2) {
        press = second;
        secondPress = first;
        idle = first + second;
    } else if (inverted == 1) {
        press = 0;
        idle = first;
    }
    buttonMasks.pressMask.store(press);
    buttonMasks.secondMask.store(secondPress);
    buttonMasks.idleMask.store(idle);
}
