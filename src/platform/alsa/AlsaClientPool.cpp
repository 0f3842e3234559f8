// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/alsa/AlsaClientPool.hpp"

#include <sound/asequencer.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace velorin {

MIDIStatus readAlsaInputPool(int sequencerFd, int client, AlsaInputPool& pool) {
    snd_seq_client_pool info{};
    info.client = client;
    if (::ioctl(sequencerFd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &info) < 0) return -errno;
    pool.size = info.input_pool;
    pool.free = info.input_free;
    return 0;
}

}  // namespace velorin
