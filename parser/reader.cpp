#include "parser.h"

#include <algorithm>

bool stream_input::open(const char* path) {
    FILE* fp = std::fopen(path, "rb");
    if (!fp) return false;
    attach(fp);
    return true;
}

void stream_input::attach(FILE* fp) {
    close();
    fp_ = fp;
    if (!buf_) buf_ = std::make_unique<unsigned char[]>(block_size);
    pos_ = len_ = 0;
    eof_ = error_ = false;
}

void stream_input::close() {
    if (fp_) std::fclose(fp_);
    fp_ = nullptr;
    pos_ = len_ = 0;
}

bool stream_input::refill() {
    pos_ = len_ = 0;
    if (!fp_ || eof_ || error_) {
        eof_ = eof_ || !fp_;
        return false;
    }
    len_ = std::fread(buf_.get(), 1, block_size, fp_);
    if (len_ == 0) {
        if (std::ferror(fp_))
            error_ = true;
        else
            eof_ = true;
        return false;
    }
    return true;
}

int stream_input::refill_and_get() {
    if (!refill()) return -1;
    return buf_[pos_++];
}

size_t stream_input::available() {
    if (pos_ < len_) return len_ - pos_;
    if (!refill()) return 0;
    return len_ - pos_;
}

void consume_until(int64_t end, block_sink_fn sink, void* ctx) {
    while (_file_position < end) {
        size_t avail = _mpeg_fp.available();
        if (avail == 0) {
            // Past the end of the file: the remaining bytes read as 0xFF.
            int64_t missing = end - _file_position;
            _last_4_bytes = missing >= 4 ? 0xFFFFFFFFu
                                         : (_last_4_bytes << (8 * missing)) |
                                               ((1u << (8 * missing)) - 1);
            _file_position = end;
            return;
        }
        size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(avail), end - _file_position));
        const unsigned char* p = _mpeg_fp.peek();
        if (sink) sink(p, n, ctx);
        for (size_t i = n > 4 ? n - 4 : 0; i < n; ++i) _last_4_bytes = (_last_4_bytes << 8) | p[i];
        _mpeg_fp.advance(n);
        _file_position += static_cast<int64_t>(n);
    }
}
