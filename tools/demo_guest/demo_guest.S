// The demo guest: a boot sector that puts a picture on the VGA screen (mode 13h, 320x200 with the default
// palette) and echoes the keys typed into it, so a person running the client sees the display and the keyboard
// work. No operating system, no disk beyond this sector.
//
// Screen layout, in the BIOS's 8x8 character cells (40 columns, 25 rows):
//   pixel rows   0-127  three bands of 20 hues (bright, medium, pale), 16 pixels per hue
//   pixel rows 128-143  ten grey steps, 32 pixels each
//   text row        18  the title, white on black
//   text rows    20-24  typed keys, yellow; Enter starts a new line, Backspace erases, a full box starts over
//
// Assembled as 16-bit code loaded at 0x7C00; the tests check this picture and the echo through QEMU's screendump.

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
    mov $0x0013, %ax            // 320x200, 256 colours
    int $0x10

    mov $0xA000, %ax
    mov %ax, %es
    xor %di, %di
    xor %dx, %dx                // dx: pixel row
row:
    xor %cx, %cx                // cx: pixel column
pixel:
    cmp $144, %dx
    jae black
    cmp $128, %dx
    jae grey
    mov %cx, %ax                // hue: one of 20 by column
    shr $4, %ax
    add $32, %ax                // bright hues 32-51
    cmp $42, %dx
    jb put
    add $24, %ax                // medium hues 56-75
    cmp $84, %dx
    jb put
    add $24, %ax                // pale hues 80-99
    jmp put
grey:
    mov %cx, %ax                // grey ramp 16-25
    shr $5, %ax
    add $16, %ax
    jmp put
black:
    xor %ax, %ax
put:
    stosb
    inc %cx
    cmp $320, %cx
    jb pixel
    inc %dx
    cmp $200, %dx
    jb row

    mov $title, %si             // the title at row 18, column 1
    mov $0x1201, %dx
    mov $15, %bl
title_char:
    lodsb
    test %al, %al
    jz title_done
    call put_char
    inc %dl
    jmp title_char
title_done:

    mov $0x1400, %dx            // dh: row, dl: column of the next typed key
key:
    xor %ah, %ah                // wait for a key: al ASCII, ah scan code
    int $0x16
    cmp $0x0D, %al
    je new_line
    cmp $0x08, %al
    je back
    cmp $0x20, %al
    jb key
    cmp $0x7E, %al
    ja key
    mov $14, %bl
    call put_char
    inc %dl
    cmp $40, %dl
    jb key
new_line:
    xor %dl, %dl
    inc %dh
    cmp $25, %dh
    jb key
    call clear_box
    jmp key
back:
    test %dl, %dl
    jz key
    dec %dl
    mov $0x20, %al
    call put_char
    jmp key

// Writes al in colour bl at row dh, column dl (no scrolling: the BIOS's teletype would scroll the picture).
put_char:
    push %ax
    mov $0x02, %ah
    xor %bh, %bh
    int $0x10
    pop %ax
    push %cx
    mov $0x09, %ah
    mov $1, %cx
    int $0x10
    pop %cx
    ret

// Blanks text rows 20-24 (pixel rows 160-199) and puts the next key at row 20, column 0.
clear_box:
    mov $160 * 320, %di
    mov $40 * 320, %cx
    xor %al, %al
    rep stosb
    mov $0x1400, %dx
    ret

title:
    .asciz "KTWSession demo - type here:"

    .org 510
    .byte 0x55, 0xAA
