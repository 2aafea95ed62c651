#include "es/au_splitter.h"

#include "es/stamp_rule.h"

void init_au_splitter(au_splitter_struct& s, int32_t format) {
    s = au_splitter_struct{};
    s.format = format;
    s.au_time = no_decode_time;
    if (format == format_video || format == format_h264) s.parse_info.start_code_register = 0xFFFFFFFFu;
    s.parse_info.h264_slice_seen = true;
}

void split_access_units(au_splitter_struct& s, const unsigned char* payload, int64_t len,
                        std::optional<es_stamp_struct> stamp, au_split_struct& out) {
    out.n_entries = 0;
    out.retime = false;
    if (s.format == format_not_modelled) return;
    if (stamp) {
        s.has_stamp = true;
        s.last_stamp = *stamp;
    }
    const int64_t stamp_ticks = stamp ? stamp->ticks : no_decode_time;
    if (s.format == format_video)
        split_mpeg_video(s, payload, len, stamp.has_value(), stamp_ticks, out);
    else if (s.format == format_h264)
        split_h264(s, payload, len, stamp.has_value(), stamp_ticks, out);
    else
        split_audio_frames(s, payload, len, stamp.has_value(), stamp_ticks, out);
}
