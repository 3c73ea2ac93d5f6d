#include "transport/connection/peer_bio.h"

#include <openssl/bio.h>

#include <new>

namespace {

struct PeerBio {
    SOCKET socket;
    Vpn* tunnel;
};

int peer_bio_write(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    PeerBio* peer = static_cast<PeerBio*>(BIO_get_data(bio));
    if (peer->tunnel) {
        int written = vpn_write(length, peer->tunnel, data);
        if (written > 0) {
            return written;
        }
        if (written == 0) {
            BIO_set_retry_write(bio);
            WSASetLastError(WSAEWOULDBLOCK);
        } else {
            WSASetLastError(WSAECONNABORTED);
        }
        return -1;
    }
    int written = send(peer->socket, data, length, 0);
    if (written < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        BIO_set_retry_write(bio);
    }
    return written;
}

int peer_bio_read(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    PeerBio* peer = static_cast<PeerBio*>(BIO_get_data(bio));
    if (peer->tunnel) {
        int read = vpn_read(size, peer->tunnel, buffer);
        if (read > 0) {
            return read;
        }
        if (read == 0) {
            BIO_set_retry_read(bio);
            WSASetLastError(WSAEWOULDBLOCK);
        } else {
            WSASetLastError(WSAECONNABORTED);
        }
        return -1;
    }
    int read = recv(peer->socket, buffer, size, 0);
    if (read < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        BIO_set_retry_read(bio);
    }
    return read;
}

long peer_bio_ctrl(BIO*, int command, long, void*) {
    // Nothing is buffered here, so there is nothing to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int peer_bio_create(BIO* bio) {
    PeerBio* peer = new (std::nothrow) PeerBio{INVALID_SOCKET, nullptr};
    if (!peer) {
        return 0;
    }
    BIO_set_data(bio, peer);
    return 1;
}

int peer_bio_destroy(BIO* bio) {
    delete static_cast<PeerBio*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

const BIO_METHOD* peer_bio_method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ktw peer");
        if (m) {
            BIO_meth_set_write(m, peer_bio_write);
            BIO_meth_set_read(m, peer_bio_read);
            BIO_meth_set_ctrl(m, peer_bio_ctrl);
            BIO_meth_set_create(m, peer_bio_create);
            BIO_meth_set_destroy(m, peer_bio_destroy);
        }
        return m;
    }();
    return method;
}

}  // namespace

BIO* peer_bio_new(SOCKET socket, Vpn* tunnel) {
    const BIO_METHOD* method = peer_bio_method();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (!bio) {
        return nullptr;
    }
    PeerBio* peer = static_cast<PeerBio*>(BIO_get_data(bio));
    peer->socket = socket;
    peer->tunnel = tunnel;
    BIO_set_init(bio, 1);
    return bio;
}
