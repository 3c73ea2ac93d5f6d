// The benchmark guest: a boot sector that fills a 1024x768 screen of 32-bit pixels with four kinds of content,
// one per band of columns, so that the server encodes each kind as images of its own:
//   columns   0-255  photo-like: smooth shading with fine texture and a little noise
//   columns 256-511  text-like: lines of 8x8 BIOS glyphs, dark on a light background
//   columns 512-767  gradient: smooth in both directions
//   columns 768-863  noise: every channel random (narrow: its images are the largest)
//   columns 864-1023 one flat colour
// The picture is drawn out of sight (the screen shows the second, blank half of a 1024x1536 virtual screen)
// and shown at once, so the server sees the whole screen change as one update, as it does when a desktop
// repaints. Then the guest halts. Assembled as 16-bit code loaded at 0x7C00 (tools/record_strips.sh uses it).

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

main:
    mov $0x0013, %ax            // a graphics mode first: chained planes, all planes writable
    int $0x10
    mov $0x1130, %ax            // es:bp = the BIOS's 8x8 glyphs
    mov $0x0300, %bx
    int $0x10
    mov %es, %ax
    mov %ax, %fs
    mov %bp, font

    mov $4, %ax                 // the display interface: 1024x768, 32 bits, banked window at A000
    xor %bx, %bx
    call dispi
    mov $1, %ax
    mov $1024, %bx
    call dispi
    mov $2, %ax
    mov $768, %bx
    call dispi
    mov $3, %ax
    mov $32, %bx
    call dispi
    mov $4, %ax
    mov $1, %bx
    call dispi
    mov $7, %ax                 // virtual height 1536, showing its lower half
    mov $1536, %bx
    call dispi
    mov $9, %ax
    mov $768, %bx
    call dispi

    mov $0xA000, %ax
    mov %ax, %es
    xor %si, %si                // si: 64 KiB bank (16 rows)
bank:
    mov $5, %ax
    mov %si, %bx
    call dispi
    xor %di, %di
pixel:
    mov %di, %cx                // cx: column
    shr $2, %cx
    and $1023, %cx
    mov %di, %bx                // bx: row
    shr $12, %bx
    mov %si, %ax
    shl $4, %ax
    add %ax, %bx
    call colour
    stosl
    test %di, %di
    jnz pixel
    inc %si
    cmp $48, %si
    jb bank

    mov $9, %ax                 // show the picture
    xor %bx, %bx
    call dispi
halt:
    hlt
    jmp halt

// Writes bx to the display interface's register ax.
dispi:
    mov $0x1CE, %dx
    out %ax, %dx
    inc %dx
    mov %bx, %ax
    out %ax, %dx
    ret

// eax = 0x00RRGGBB of column cx, row bx. Keeps bx, cx, si, di.
colour:
    mov seed, %eax              // edx: 24 random bits
    imul $1103515245, %eax, %eax
    add $12345, %eax
    mov %eax, seed
    shr $8, %eax
    mov %eax, %edx
    mov %cx, %ax
    shr $8, %ax
    cmp $1, %ax
    jb photo
    je text
    cmp $2, %ax
    je gradient
    cmp $864, %cx
    jae flat
    mov %edx, %eax              // noise
    ret
flat:
    mov $0x3A6EA5, %eax
    ret

gradient:
    mov %bx, %ax                // g = row / 3
    xor %dx, %dx
    mov $3, %bp
    div %bp
    mov %ax, %dx
    mov %cx, %ax                // r = column - 512
    sub $512, %ax
    mov %ax, %bp                // b = (r + g) / 2
    add %dx, %bp
    shr $1, %bp
    movzwl %ax, %eax
    shl $16, %eax
    mov %dl, %ah
    mov %bp, %dx
    mov %dl, %al
    ret

photo:
    and $0x0F0F0F, %edx         // texture: up to 15 per channel
    push %edx
    mov %bx, %ax                // r = (column + row / 4) / 2
    shr $2, %ax
    mov %ax, %bp
    add %cx, %ax
    shr $1, %ax
    movzwl %ax, %eax
    shl $16, %eax
    push %eax
    mov %cx, %ax                // g = row / 4 + (column * row / 1024) % 32
    mul %bx
    shrd $10, %dx, %ax
    and $31, %ax
    add %ax, %bp
    mov %bx, %ax                // b = 220 - (column + row / 8) / 2
    shr $3, %ax
    add %cx, %ax
    shr $1, %ax
    neg %ax
    add $220, %ax
    mov %ax, %dx
    pop %eax
    mov %dl, %al
    mov %bp, %dx
    mov %dl, %ah
    pop %edx
    add %edx, %eax
    ret

text:
    mov %bx, %ax                // line = row / 10, glyph row = row % 10 (8 drawn, 2 of leading)
    xor %dx, %dx
    mov $10, %bp
    div %bp
    cmp $8, %dx
    jae paper
    mov %dx, %bp
    imul $91, %ax, %dx          // glyph = a hash of line and cell, a space for one in eight
    mov %cx, %ax
    sub $256, %ax
    shr $3, %ax
    imul $37, %ax, %ax
    add %ax, %dx
    test $0x38, %dx
    jz paper
    and $63, %dx
    add $0x21, %dx
    shl $3, %dx
    add %dx, %bp
    add font, %bp
    mov %fs:(%bp), %al
    push %cx
    and $7, %cl
    shl %cl, %al
    pop %cx
    test $0x80, %al
    jz paper
    mov $0x203048, %eax
    ret
paper:
    mov $0xF4F2EC, %eax
    ret

seed:
    .long 1
font:
    .word 0

    .org 510
    .byte 0x55, 0xAA
