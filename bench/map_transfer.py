"""Packing and unpacking a full 16-byte map of 16 items.

Compares the host-facing transfer (`_set_data_to_frame`, `_get_data_from_frame`) with the
module's own item types (native integer-form path), with host subclasses of the item types
(every value through the items' `_read`/`_write` methods), and with the bare C++ bit-stream
work of the same layout (bench/map_transfer_core.cpp, compiled here with the system compiler).
"""
import pathlib
import shutil
import statistics
import subprocess
import tempfile
import timeit

import tamsel.tamsel as ts

ROOT = pathlib.Path(__file__).resolve().parent.parent
DT = ts.DataType


def median_ns(method, argument, loops=20000, repeat=9):
    """Median time of one `method(argument)` call, the timing loop's own cost included."""
    times = timeit.repeat("method(argument)", globals={"method": method, "argument": argument}, number=loops,
                          repeat=repeat)
    return statistics.median(times) / loops * 1e9


def maps(output_class, input_class):
    outs = [output_class(k, f"out{k}", DT.UINT8) for k in range(16)]
    ins = [input_class(100 + k, f"in{k}", DT.UINT8, 0) for k in range(16)]
    dictionary = ts.Dictionary(outs + ins)
    out_map = ts.DictionaryMap(dictionary, {output_class})
    in_map = ts.DictionaryMap(dictionary, {input_class})
    for item in outs:
        out_map.add(item)
        item.set(item.key * 7 % 256)
    for item in ins:
        in_map.add(item)
    out_map._lock()
    in_map._lock()
    return out_map, in_map


def host_api(output_class, input_class):
    out_map, in_map = maps(output_class, input_class)
    frame = ts.FSOEFrame(35)
    pack = median_ns(out_map._set_data_to_frame, frame)
    unchanged = median_ns(in_map._get_data_from_frame, frame)
    frames = []
    for n in range(2):
        f = ts.FSOEFrame(35)
        for k in range(8):
            f.safe_data[k] = (0x0101 * (k + n + 1)) & 0xFFFF
        frames.append(f)
    state = [0]

    def changing(frames):
        state[0] ^= 1
        in_map._get_data_from_frame(frames[state[0]])

    # Every input changes on every call; the figure includes one Python-level call around it.
    changed = median_ns(changing, frames)
    return pack, unchanged, changed


def core():
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        exe = pathlib.Path(tmp) / "map_transfer_core"
        subprocess.run([compiler, "-std=c++20", "-O2", "-I", str(ROOT / "src"),
                        str(ROOT / "bench" / "map_transfer_core.cpp"), "-o", str(exe)], check=True)
        pack, unpack = (float(x) for x in subprocess.run([str(exe)], check=True, capture_output=True,
                                                          text=True).stdout.split())
    return pack, unpack


class HostOutput(ts.DictionaryItemOutput):
    pass


class HostInput(ts.DictionaryItemInput):
    pass


def main():
    native = host_api(ts.DictionaryItemOutput, ts.DictionaryItemInput)
    fallback = host_api(HostOutput, HostInput)
    rows = [
        ("host API, module item types", *native),
        ("host API, host subclasses of the items", *fallback),
    ]
    print(f"{'16 UINT8 items, 16 bytes (median ns per call)':48} {'pack':>8} {'unpack':>10} {'unpack':>10}")
    print(f"{'':48} {'':>8} {'unchanged':>10} {'changed':>10}")
    for name, pack, unchanged, changed in rows:
        print(f"{name:48} {pack:8.0f} {unchanged:10.0f} {changed:10.0f}")
    measured = core()
    if measured:
        print(f"{'C++ bit-stream core alone':48} {measured[0]:8.1f} {measured[1]:10.1f} {'':>10}")
        print(f"host API / core: pack {native[0] / measured[0]:.1f}x, unpack (unchanged) "
              f"{native[1] / measured[1]:.1f}x")


if __name__ == "__main__":
    main()
