#pragma once

#include <cstddef>

struct Rc4State {
    int i;
    int j;
    int S[256];
};

void Rc4Init(Rc4State* state, const unsigned char* key, size_t key_length);
// Key schedule with the program's fixed key, the one the guest agent deciphers the logon record with.
void Rc4InitFixedKey(Rc4State* state);
// Enciphers (or deciphers: the same operation) length bytes; in and out may be the same buffer.
void Rc4Crypt(Rc4State* state, int length, const unsigned char* in, unsigned char* out);
// Rc4Crypt from a fresh fixed-key state. False for null buffers or a length below 1.
bool Rc4CryptFixedKey(const unsigned char* in, unsigned char* out, int length);
