@ Test firmware for the image loader: a vector table and code at the flash start, a table after
@ a gap, and initialised data linked for RAM but loaded into flash, with zeroed data after it.
        .syntax unified
        .cpu cortex-m3
        .thumb

        .section .vectors, "a"
        .word   0x20002000
        .word   reset + 1

        .text
        .thumb_func
reset:  ldr     r0, =counter
        ldr     r1, [r0]
        adds    r1, #1
        str     r1, [r0]
        b       reset

        .section .table, "a"
        .ascii  "table after a gap"
        .balign 4

        .data
counter: .word  0x11223344
        .ascii  "initialised data, loaded at its flash address"

        .bss
        .space  256
