#pragma once
// FFmpeg's libraries, loaded the first time a playable copy, a thumbnail or a
// container probe needs them rather than when the program starts: mapping
// them and the hundred-odd libraries they bring is most of a start's
// processor time, which a scan that makes no copy should not pay.
// Include this instead of FFmpeg's headers: each function it names below is
// then called through the loaded table, and nothing links FFmpeg itself.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <QString>

namespace Media::Ff {

#define CORVO_FF_FUNCTIONS(X) \
    X(avformat, av_find_best_stream) \
    X(avutil, av_frame_alloc) \
    X(avutil, av_frame_free) \
    X(avutil, av_frame_get_buffer) \
    X(avutil, av_frame_unref) \
    X(avutil, av_free) \
    X(avutil, av_freep) \
    X(avformat, av_interleaved_write_frame) \
    X(avutil, av_log_set_level) \
    X(avutil, av_malloc) \
    X(avutil, av_mallocz) \
    X(avcodec, av_new_packet) \
    X(avcodec, av_packet_alloc) \
    X(avcodec, av_packet_clone) \
    X(avcodec, av_packet_free) \
    X(avcodec, av_packet_rescale_ts) \
    X(avcodec, av_packet_unref) \
    X(avcodec, av_parser_close) \
    X(avcodec, av_parser_init) \
    X(avcodec, av_parser_parse2) \
    X(avformat, av_probe_input_buffer2) \
    X(avformat, av_read_frame) \
    X(avutil, av_strerror) \
    X(avformat, av_write_trailer) \
    X(avcodec, avcodec_alloc_context3) \
    X(avcodec, avcodec_find_decoder) \
    X(avcodec, avcodec_find_encoder) \
    X(avcodec, avcodec_flush_buffers) \
    X(avcodec, avcodec_free_context) \
    X(avcodec, avcodec_get_name) \
    X(avcodec, avcodec_open2) \
    X(avcodec, avcodec_parameters_copy) \
    X(avcodec, avcodec_parameters_to_context) \
    X(avcodec, avcodec_receive_frame) \
    X(avcodec, avcodec_receive_packet) \
    X(avcodec, avcodec_send_frame) \
    X(avcodec, avcodec_send_packet) \
    X(avformat, avformat_alloc_context) \
    X(avformat, avformat_alloc_output_context2) \
    X(avformat, avformat_close_input) \
    X(avformat, avformat_find_stream_info) \
    X(avformat, avformat_free_context) \
    X(avformat, avformat_new_stream) \
    X(avformat, avformat_open_input) \
    X(avformat, avformat_write_header) \
    X(avformat, avio_alloc_context) \
    X(avformat, avio_closep) \
    X(avformat, avio_context_free) \
    X(avformat, avio_open) \
    X(swscale, sws_freeContext) \
    X(swscale, sws_getContext) \
    X(swscale, sws_scale)

struct Api {
#define CORVO_FF_MEMBER(lib, name) decltype(&::name) name = nullptr;
    CORVO_FF_FUNCTIONS(CORVO_FF_MEMBER)
#undef CORVO_FF_MEMBER
};

// Loads the libraries once, for every thread; false, with what is missing in
// why, when they are not there. Nothing below may be called before it
// returned true.
bool load(QString* why = nullptr);
extern Api api;

} // namespace Media::Ff

#ifndef CORVO_FF_NO_REDIRECT
#define av_find_best_stream Media::Ff::api.av_find_best_stream
#define av_frame_alloc Media::Ff::api.av_frame_alloc
#define av_frame_free Media::Ff::api.av_frame_free
#define av_frame_get_buffer Media::Ff::api.av_frame_get_buffer
#define av_frame_unref Media::Ff::api.av_frame_unref
#define av_free Media::Ff::api.av_free
#define av_freep Media::Ff::api.av_freep
#define av_interleaved_write_frame Media::Ff::api.av_interleaved_write_frame
#define av_log_set_level Media::Ff::api.av_log_set_level
#define av_malloc Media::Ff::api.av_malloc
#define av_mallocz Media::Ff::api.av_mallocz
#define av_new_packet Media::Ff::api.av_new_packet
#define av_packet_alloc Media::Ff::api.av_packet_alloc
#define av_packet_clone Media::Ff::api.av_packet_clone
#define av_packet_free Media::Ff::api.av_packet_free
#define av_packet_rescale_ts Media::Ff::api.av_packet_rescale_ts
#define av_packet_unref Media::Ff::api.av_packet_unref
#define av_parser_close Media::Ff::api.av_parser_close
#define av_parser_init Media::Ff::api.av_parser_init
#define av_parser_parse2 Media::Ff::api.av_parser_parse2
#define av_probe_input_buffer2 Media::Ff::api.av_probe_input_buffer2
#define av_read_frame Media::Ff::api.av_read_frame
#define av_strerror Media::Ff::api.av_strerror
#define av_write_trailer Media::Ff::api.av_write_trailer
#define avcodec_alloc_context3 Media::Ff::api.avcodec_alloc_context3
#define avcodec_find_decoder Media::Ff::api.avcodec_find_decoder
#define avcodec_find_encoder Media::Ff::api.avcodec_find_encoder
#define avcodec_flush_buffers Media::Ff::api.avcodec_flush_buffers
#define avcodec_free_context Media::Ff::api.avcodec_free_context
#define avcodec_get_name Media::Ff::api.avcodec_get_name
#define avcodec_open2 Media::Ff::api.avcodec_open2
#define avcodec_parameters_copy Media::Ff::api.avcodec_parameters_copy
#define avcodec_parameters_to_context Media::Ff::api.avcodec_parameters_to_context
#define avcodec_receive_frame Media::Ff::api.avcodec_receive_frame
#define avcodec_receive_packet Media::Ff::api.avcodec_receive_packet
#define avcodec_send_frame Media::Ff::api.avcodec_send_frame
#define avcodec_send_packet Media::Ff::api.avcodec_send_packet
#define avformat_alloc_context Media::Ff::api.avformat_alloc_context
#define avformat_alloc_output_context2 Media::Ff::api.avformat_alloc_output_context2
#define avformat_close_input Media::Ff::api.avformat_close_input
#define avformat_find_stream_info Media::Ff::api.avformat_find_stream_info
#define avformat_free_context Media::Ff::api.avformat_free_context
#define avformat_new_stream Media::Ff::api.avformat_new_stream
#define avformat_open_input Media::Ff::api.avformat_open_input
#define avformat_write_header Media::Ff::api.avformat_write_header
#define avio_alloc_context Media::Ff::api.avio_alloc_context
#define avio_closep Media::Ff::api.avio_closep
#define avio_context_free Media::Ff::api.avio_context_free
#define avio_open Media::Ff::api.avio_open
#define sws_freeContext Media::Ff::api.sws_freeContext
#define sws_getContext Media::Ff::api.sws_getContext
#define sws_scale Media::Ff::api.sws_scale
#endif
