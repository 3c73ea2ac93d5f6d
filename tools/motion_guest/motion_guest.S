// The motion guest: a boot sector that animates a block of the VGA screen (mode 13h, 320x200 with the default
// palette) 50 times a second, so that the display server sees a fast-changing area and sends it as a video
// stream. Any key freezes the picture on its last frame for good, so that a test can compare a still screen.
//
// Screen layout (mode 13h pixels; QEMU shows each doubled, 640x400):
//   everything but the block   a fixed backdrop: grey steps of 32 columns each
//   columns 64-223, rows 40-159 the moving block, 160x120: diagonal hue bands crossed by a second pattern, both
//                               moving every frame, so no two frames are alike and none is flat
//
// The timer chip is set to 50 Hz (the BIOS's tick counter at 0:046C then counts fiftieths of a second); the
// guest draws a frame per tick. Assembled as 16-bit code loaded at 0x7C00.

    .code16
    .text
    .globl _start
_start:
    cli
    xor %ax, %ax
    mov %ax, %ds
    mov %ax, %ss
    mov $0x7C00, %sp
    sti
    ljmp $0, $main

    .set BLOCK_LEFT, 64
    .set BLOCK_TOP, 40
    .set BLOCK_WIDTH, 160
    .set BLOCK_HEIGHT, 120

main:
    mov $0x0013, %ax            // 320x200, 256 colours
    int $0x10

    mov $0xA000, %ax            // the backdrop: grey ramp 16-25 by column
    mov %ax, %es
    xor %di, %di
    xor %dx, %dx
backdrop_row:
    xor %cx, %cx
backdrop_pixel:
    mov %cx, %ax
    shr $5, %ax
    add $16, %ax
    stosb
    inc %cx
    cmp $320, %cx
    jb backdrop_pixel
    inc %dx
    cmp $200, %dx
    jb backdrop_row

    cli                         // timer channel 0, mode 3, 1193182 / 23864 = 50 Hz
    mov $0x36, %al
    out %al, $0x43
    mov $23864 & 0xFF, %ax
    out %al, $0x40
    mov $23864 >> 8, %al
    out %al, $0x40
    sti

    xor %bp, %bp                // bp: frame number
frame:
    mov $BLOCK_TOP * 320 + BLOCK_LEFT, %di
    xor %dx, %dx                // dx: row in the block
block_row:
    xor %cx, %cx                // cx: column in the block
block_pixel:
    mov %cx, %ax                // hue band: (column + row + 3 * frame) / 4, over 72 hues
    add %dx, %ax
    add %bp, %ax
    add %bp, %ax
    add %bp, %ax
    shr $2, %ax
    mov %dx, %bx                // crossed by ((column - frame) xor row) / 8
    sub %bp, %bx
    sub %cx, %bx
    xor %dx, %bx
    shr $3, %bx
    and $7, %bx
    add %bx, %ax
    xor %bx, %bx                // ax mod 72
    push %dx
    xor %dx, %dx
    mov $72, %bx
    div %bx
    mov %dx, %ax
    pop %dx
    add $32, %ax
    stosb
    inc %cx
    cmp $BLOCK_WIDTH, %cx
    jb block_pixel
    add $320 - BLOCK_WIDTH, %di
    inc %dx
    cmp $BLOCK_HEIGHT, %dx
    jb block_row
    inc %bp

    mov $0x01, %ah              // a key waiting: freeze
    int $0x16
    jnz still

    mov 0x046C, %ax             // wait for the next tick
tick:
    hlt
    cmp 0x046C, %ax
    je tick
    jmp frame

still:
    xor %ah, %ah
    int $0x16
halt:
    hlt
    jmp halt

    .org 510
    .byte 0x55, 0xAA
