#!/usr/bin/python3
"""Writes a tiny synthetic model directory in the Kokoro multi-language format.

Every token id k of the input (the pad 0 at both ends of each sentence included) becomes
one segment of floor(SEGMENT / speed) samples: amplitude * sin(2 pi (BASE_HZ + k) j / 24000),
amplitude 0.5 for speaker 0 and 1.25 for speaker 1 (over full scale, for clipping checks).
Beside model.onnx it writes every file the engine's configuration names: voices.bin,
tokens.txt, the smallest working espeak-ng-data, an empty dict/, the lexicons, date-zh.fst
(passes bytes through) and number-zh.fst (rewrites "2" to "二").

Usage: make_kokoro_model.py OUTPUT_DIR ESPEAK_NG_DATA   (Debian's espeak-ng-data directory;
needs python3-onnx, python3-numpy and fstcompile from libfst-tools)
"""
import os
import shutil
import subprocess
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SAMPLE_RATE = 24000
SEGMENT = 240
BASE_HZ = 200
STYLE_ROWS = 510  # as in the real model: the library ends the process on longer sentences
STYLE_DIM = 4
AMPLITUDES = [0.5, 1.25]


def token_symbols():
    """Pad first, then space, punctuation and what espeak emits for English."""
    symbols = ["$", " "]
    symbols += list(';:,.!?—…"()“”')
    symbols += [chr(c) for c in range(ord("A"), ord("Z") + 1)]
    symbols += [chr(c) for c in range(ord("a"), ord("z") + 1)]
    symbols += [chr(c) for c in range(0x00C0, 0x0100) if c not in (0xD7, 0xF7)]
    symbols += [chr(c) for c in (0x0127, 0x014B, 0x0153, 0x03B2, 0x03B8, 0x03C7, 0x1D7B, 0x2191, 0x2192, 0x2193,
                                 0x2197, 0x2198, 0x2C71, 0x2019, 0x0027, 0x002D)]
    symbols += [chr(c) for c in range(0x0250, 0x0370)]
    return list(dict.fromkeys(symbols))


def build_model(path, n_speakers):
    tokens = helper.make_tensor_value_info("tokens", TensorProto.INT64, [1, "N"])
    style = helper.make_tensor_value_info("style", TensorProto.FLOAT, [1, STYLE_DIM])
    speed = helper.make_tensor_value_info("speed", TensorProto.FLOAT, [1])
    audio = helper.make_tensor_value_info("audio", TensorProto.FLOAT, ["T"])

    def const(name, value, dtype=np.float32):
        arr = np.array(value, dtype=dtype)
        return helper.make_node("Constant", [], [name], value=numpy_helper.from_array(arr, name + "_v"))

    nodes = [
        const("seg", SEGMENT),
        const("zero_i", 0, np.int64),
        const("one_i", 1, np.int64),
        const("base", BASE_HZ),
        const("omega", 2.0 * np.pi / SAMPLE_RATE),
        const("col_shape", [-1, 1], np.int64),
        const("flat_shape", [-1], np.int64),
        const("amp_start", [0, 0], np.int64),
        const("amp_end", [1, 1], np.int64),
        # segment length = floor(SEGMENT / speed)
        helper.make_node("Reshape", ["speed", "flat_shape"], ["speed_v"]),
        helper.make_node("ReduceMin", ["speed_v"], ["speed_s"], keepdims=0),
        helper.make_node("Div", ["seg", "speed_s"], ["len_f"]),
        helper.make_node("Floor", ["len_f"], ["len_fl"]),
        helper.make_node("Cast", ["len_fl"], ["len_i"], to=TensorProto.INT64),
        helper.make_node("Range", ["zero_i", "len_i", "one_i"], ["j_i"]),
        helper.make_node("Cast", ["j_i"], ["j"], to=TensorProto.FLOAT),
        # frequency of each token, as a column
        helper.make_node("Cast", ["tokens"], ["tok_f"], to=TensorProto.FLOAT),
        helper.make_node("Add", ["tok_f", "base"], ["freq"]),
        helper.make_node("Reshape", ["freq", "col_shape"], ["freq_c"]),
        helper.make_node("Mul", ["freq_c", "j"], ["fj"]),
        helper.make_node("Mul", ["fj", "omega"], ["phase"]),
        helper.make_node("Sin", ["phase"], ["wave"]),
        # amplitude = style[0, 0]
        helper.make_node("Slice", ["style", "amp_start", "amp_end"], ["amp"]),
        helper.make_node("Mul", ["wave", "amp"], ["scaled"]),
        helper.make_node("Reshape", ["scaled", "flat_shape"], ["audio"]),
    ]
    graph = helper.make_graph(nodes, "synthetic_kokoro", [tokens, style, speed], [audio])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)],
                              producer_name="velantis-test")
    model.ir_version = 7
    helper.set_model_props(model, {
        "model_type": "kokoro",
        "sample_rate": str(SAMPLE_RATE),
        "n_speakers": str(n_speakers),
        "has_espeak": "1",
        "style_dim": f"{STYLE_ROWS},1,{STYLE_DIM}",
        "version": "2",
        "voice": "en-us",
        "language": "multi-lang",
        "speaker_names": ",".join(f"speaker{i}" for i in range(n_speakers)),
    })
    onnx.checker.check_model(model)
    onnx.save(model, path)


def write_voices(path):
    voices = np.zeros((len(AMPLITUDES), STYLE_ROWS, STYLE_DIM), dtype="<f4")
    for i, a in enumerate(AMPLITUDES):
        voices[i, :, 0] = a
        voices[i, :, 1:] = 0.1 * (i + 1)
    voices.tofile(path)


def write_fst(path, rewrites):
    """An FST over bytes that passes every byte through and applies the given rewrites."""
    lines = [f"0 0 {c} {c}" for c in range(1, 256)]
    next_state = 1
    for src, dst in rewrites:
        sb, db = src.encode("utf-8"), dst.encode("utf-8")
        assert len(sb) == 1, "rewrites start from one byte"
        prev = 0
        for i, b in enumerate(db):
            target = 0 if i == len(db) - 1 else next_state
            lines.append(f"{prev} {target} {sb[0] if i == 0 else 0} {b}")
            prev, next_state = target, next_state + (target != 0)
    lines.append("0")
    subprocess.run(["fstcompile", "--arc_type=standard", "--fst_type=vector", "-", path],
                   input="\n".join(lines) + "\n", text=True, check=True)


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    out, espeak_data = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    symbols = token_symbols()
    # In tokens.txt a line with only an id is the space.
    lines = {"tokens.txt": [f"{i}" if s == " " else f"{s} {i}" for i, s in enumerate(symbols)],
             "lexicon-us-en.txt": ["hello h ə l o"],
             "lexicon-zh.txt": ["你好 n i h a o", "你 n i", "好 h a o", "二 ɚ", "三 s a n"]}
    for name, content in lines.items():
        assert name == "tokens.txt" or all(t in symbols for line in content for t in line.split()[1:])
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in content))
    build_model(os.path.join(out, "model.onnx"), len(AMPLITUDES))
    write_voices(os.path.join(out, "voices.bin"))
    write_fst(os.path.join(out, "date-zh.fst"), [])
    write_fst(os.path.join(out, "number-zh.fst"), [("2", "二")])

    os.makedirs(os.path.join(out, "dict"), exist_ok=True)
    data = os.path.join(out, "espeak-ng-data")
    os.makedirs(os.path.join(data, "lang", "gmw"), exist_ok=True)
    for name in ("phontab", "phonindex", "phondata", "intonations", "en_dict", "lang/gmw/en-US"):
        shutil.copyfile(os.path.join(espeak_data, name), os.path.join(data, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
