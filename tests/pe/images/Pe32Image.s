# A 32-bit image with the driver's entry point: the format rule must refuse it.
        .text
        .globl _DriverEntry@8
_DriverEntry@8:
        xorl    %eax, %eax
        ret     $8
