#include "runtime/rc4.h"

namespace {

// Shared with the guest agent, which deciphers the automatic-logon record with it.
const unsigned char RC4_FIXED_KEY[8] = {'V', 'o', 'r', '@', 'K', 't', 'w', '8'};

}  // namespace

void Rc4Init(Rc4State* state, const unsigned char* key, size_t key_length) {
    state->i = 0;
    state->j = 0;
    for (int n = 0; n < 256; n++) {
        state->S[n] = n;
    }
    int j = 0;
    for (int n = 0; n < 256; n++) {
        j = (j + state->S[n] + key[n % key_length]) & 0xff;
        int t = state->S[n];
        state->S[n] = state->S[j];
        state->S[j] = t;
    }
}

void Rc4InitFixedKey(Rc4State* state) {
    Rc4Init(state, RC4_FIXED_KEY, sizeof(RC4_FIXED_KEY));
}

void Rc4Crypt(Rc4State* state, int length, const unsigned char* in, unsigned char* out) {
    int i = state->i;
    int j = state->j;
    int* S = state->S;
    for (int n = 0; n < length; n++) {
        i = (i + 1) & 0xff;
        j = (j + S[i]) & 0xff;
        int t = S[i];
        S[i] = S[j];
        S[j] = t;
        out[n] = static_cast<unsigned char>(in[n] ^ S[(S[i] + S[j]) & 0xff]);
    }
    state->i = i;
    state->j = j;
}

bool Rc4CryptFixedKey(const unsigned char* in, unsigned char* out, int length) {
    if (!in || !out || length <= 0) {
        return false;
    }
    Rc4State state;
    Rc4InitFixedKey(&state);
    Rc4Crypt(&state, length, in, out);
    return true;
}
