// Shared by the per-instruction-set files of the inverse transforms.
#pragma once

// The 8-point butterfly of idct8() on whole vectors: d0..d7 in, d0..d7 out.
#define VORN_IDCT8_VECTORS(ADD, SUB, SRA)                                                  \
    do {                                                                                   \
        const auto e0 = ADD(d0, d4);                                                       \
        const auto e1 = SUB(SUB(SUB(d5, d3), d7), SRA(d7, 1));                             \
        const auto e2 = SUB(d0, d4);                                                       \
        const auto e3 = SUB(SUB(ADD(d1, d7), d3), SRA(d3, 1));                             \
        const auto e4 = SUB(SRA(d2, 1), d6);                                               \
        const auto e5 = ADD(ADD(SUB(d7, d1), d5), SRA(d5, 1));                             \
        const auto e6 = ADD(d2, SRA(d6, 1));                                               \
        const auto e7 = ADD(ADD(ADD(d3, d5), d1), SRA(d1, 1));                             \
        const auto f0 = ADD(e0, e6);                                                       \
        const auto f1 = ADD(e1, SRA(e7, 2));                                               \
        const auto f2 = ADD(e2, e4);                                                       \
        const auto f3 = ADD(e3, SRA(e5, 2));                                               \
        const auto f4 = SUB(e2, e4);                                                       \
        const auto f5 = SUB(SRA(e3, 2), e5);                                               \
        const auto f6 = SUB(e0, e6);                                                       \
        const auto f7 = SUB(e7, SRA(e1, 2));                                               \
        d0 = ADD(f0, f7);                                                                  \
        d1 = ADD(f2, f5);                                                                  \
        d2 = ADD(f4, f3);                                                                  \
        d3 = ADD(f6, f1);                                                                  \
        d4 = SUB(f6, f1);                                                                  \
        d5 = SUB(f4, f3);                                                                  \
        d6 = SUB(f2, f5);                                                                  \
        d7 = SUB(f0, f7);                                                                  \
    } while (0)
