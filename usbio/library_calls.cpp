// The six calls into the capture-device library.
//
// The library's calling convention is undocumented, and on 32-bit x86 a wrong
// guess is fatal: a __cdecl callee leaves its arguments on the stack where a
// __stdcall caller expects them gone, or pops them where a __cdecl caller pops
// them again. So every call goes through a small thunk that pushes the arguments,
// calls, and then puts the stack pointer back where it was, whoever cleaned up.
// EBP holds the saved stack pointer because both conventions preserve it.
#include "usbio/usbio_api.h"

#if defined(_M_IX86) || defined(__i386__)

extern "C" int32_t __cdecl joyvane_call_restoring_stack(FARPROC entry, const uint32_t* args,
                                                        uint32_t count);

#if defined(_MSC_VER)

extern "C" __declspec(naked) int32_t
    __cdecl joyvane_call_restoring_stack(FARPROC, const uint32_t*, uint32_t) {
    __asm {
        push ebp
        mov ebp, esp
        mov edx, [ebp + 12]
        mov ecx, [ebp + 16]
    push_next:
        test ecx, ecx
        jz call_entry
        dec ecx
        push dword ptr [edx + ecx * 4]
        jmp push_next
    call_entry:
        call dword ptr [ebp + 8]
        mov esp, ebp
        pop ebp
        ret
    }
}

#else

asm(".text\n"
    ".globl _joyvane_call_restoring_stack\n"
    "_joyvane_call_restoring_stack:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    movl 12(%ebp), %edx\n"
    "    movl 16(%ebp), %ecx\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%edx,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  call *8(%ebp)\n"
    "    movl %ebp, %esp\n"
    "    popl %ebp\n"
    "    ret\n");

#endif

namespace {

int32_t CallNoArgs(FARPROC entry) {
    return joyvane_call_restoring_stack(entry, nullptr, 0);
}

int32_t CallWithIndex(FARPROC entry, int32_t deviceIndex) {
    const uint32_t args[] = {static_cast<uint32_t>(deviceIndex)};
    return joyvane_call_restoring_stack(entry, args, 1);
}

int32_t CallGetGpio(FARPROC entry, int32_t deviceIndex, GpioState* state) {
    const uint32_t args[] = {static_cast<uint32_t>(deviceIndex),
                             static_cast<uint32_t>(reinterpret_cast<uintptr_t>(state))};
    return joyvane_call_restoring_stack(entry, args, 2);
}

} // namespace

#else

// Elsewhere there is one calling convention, and the entry points are called
// with their own types.
namespace {

template <typename Function> Function As(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(entry));
}

int32_t CallNoArgs(FARPROC entry) {
    return As<UsbIoNoArgs>(entry)();
}

int32_t CallWithIndex(FARPROC entry, int32_t deviceIndex) {
    return As<UsbIoDeviceCall>(entry)(deviceIndex);
}

int32_t CallGetGpio(FARPROC entry, int32_t deviceIndex, GpioState* state) {
    return As<UsbIoGetGpioCall>(entry)(deviceIndex, state);
}

} // namespace

#endif

// A call into a library that is not loaded fails as the library itself would.
int32_t UsbIoInit() {
    return usbIoApi.ZUR_USBIO_API_Init ? CallNoArgs(usbIoApi.ZUR_USBIO_API_Init) : 0;
}

int32_t UsbIoOpen(int32_t deviceIndex) {
    return usbIoApi.ZUR_USBIO_API_Open ? CallWithIndex(usbIoApi.ZUR_USBIO_API_Open, deviceIndex)
                                       : -1;
}

int32_t UsbIoInitI2c() {
    return usbIoApi.ZUR_USBIO_API_InitI2c ? CallNoArgs(usbIoApi.ZUR_USBIO_API_InitI2c) : -1;
}

int32_t UsbIoGetGpio(int32_t deviceIndex, GpioState* state) {
    return usbIoApi.ZUR_USBIO_API_GetGPIO
               ? CallGetGpio(usbIoApi.ZUR_USBIO_API_GetGPIO, deviceIndex, state)
               : -1;
}

int32_t UsbIoClose(int32_t deviceIndex) {
    return usbIoApi.ZUR_USBIO_API_Close ? CallWithIndex(usbIoApi.ZUR_USBIO_API_Close, deviceIndex)
                                        : -1;
}

int32_t UsbIoDestroy() {
    return usbIoApi.ZUR_USBIO_API_Destroy ? CallNoArgs(usbIoApi.ZUR_USBIO_API_Destroy) : 0;
}
