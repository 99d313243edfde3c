// The speech model's weights, built into the library from
// src/speech/silero_vad_16k.bin (scripts/make_speech_weights.py writes it;
// MIT licence, Silero Team: src/speech/LICENSE). They are assembled into the
// object file with .incbin, so the library needs no file beside it and reads
// nothing at run time; the path comes from the build (SILSPLIT_SPEECH_WEIGHTS).
#include "speech_model.h"

#ifndef SILSPLIT_SPEECH_WEIGHTS
#error "SILSPLIT_SPEECH_WEIGHTS must name the weight file"
#endif

asm(".pushsection .rodata.sil_speech_weights,\"a\",%progbits\n"
    ".balign 64\n"
    ".globl sil_speech_weights_begin\n"
    ".hidden sil_speech_weights_begin\n"
    "sil_speech_weights_begin:\n"
    ".incbin \"" SILSPLIT_SPEECH_WEIGHTS "\"\n"
    ".globl sil_speech_weights_end\n"
    ".hidden sil_speech_weights_end\n"
    "sil_speech_weights_end:\n"
    ".popsection\n");

extern "C" const unsigned char sil_speech_weights_begin[];
extern "C" const unsigned char sil_speech_weights_end[];

const unsigned char *sil_speech_weight_block(size_t *size) {
    *size = (size_t)(sil_speech_weights_end - sil_speech_weights_begin);
    return sil_speech_weights_begin;
}
