"""Reads what the plateio tool writes with the field's own readers, for the tool's tests.

    outside_readers.py MODE FILE [OUT.npy]

MODE
  fabio   a CBF file through fabio (lenient; it checks Content-MD5 only by logging)
  pycbf   a CBF file through CBFlib (pycbf), which verifies Content-MD5 (MSG_DIGEST)
  h5py    a NeXus file through h5py; silx checks that /entry/data is valid NXdata
  json    standard input as strict JSON: UTF-8 only, no NaN or Infinity

The pixels go to OUT.npy as little-endian int32, whatever the file holds; what the reader tells about
the file is printed as "key value" lines (JSON: one line per value, "path = value" with the value in
JSON). Exit status 77 when a reader is not installed, so that the test is skipped.
"""

import json
import sys

import numpy as np


def need(module):
    try:
        return __import__(module)
    except ImportError:
        print(f"missing {module}")
        sys.exit(77)


def save(out, data):
    np.save(out, np.ascontiguousarray(data).astype("<i4"))


def read_fabio(path, out):
    need("fabio")
    import fabio
    image = fabio.open(path)
    print("dtype", image.data.dtype)
    print("shape", *image.data.shape)
    for key in ("conversions", "X-Binary-Element-Type", "Content-MD5"):
        print(key, image.header.get(key, "-"))
    for line in image.header.get("_array_data.header_contents", "").splitlines():
        if line.startswith("# "):
            print("header", line[2:].strip())
    save(out, image.data)


def read_pycbf(path, out):
    pycbf = need("pycbf")
    handle = pycbf.cbf_handle_struct()
    handle.read_widefile(path.encode(), pycbf.MSG_DIGEST)
    handle.find_category(b"array_data")
    handle.find_column(b"data")
    compression, binary_id, element_size, signed, unsigned, count, minimum, maximum = \
        handle.get_integerarrayparameters()
    print("compression", compression, "element_size", element_size, "signed", signed)
    data = np.frombuffer(handle.get_integerarray_as_string(), dtype="<i%d" % element_size)
    print("count", count)
    save(out, data)


def read_h5py(path, out):
    h5py = need("h5py")
    with h5py.File(path, "r") as f:
        data = f["/entry/data/data"]
        attrs = lambda name: {k: (v.decode() if isinstance(v, bytes) else v) for k, v in f[name].attrs.items()}
        print("root", attrs("/").get("NX_class"), attrs("/").get("default"))
        print("entry", attrs("/entry").get("NX_class"), attrs("/entry").get("default"))
        print("data_group", attrs("/entry/data").get("NX_class"), attrs("/entry/data").get("signal"))
        print("detector", attrs("/entry/instrument/detector").get("NX_class"))
        print("dtype", data.dtype.str)
        print("shape", *data.shape)
        print("chunks", *(data.chunks or ("none",)))
        print("compression", data.compression)
        mask = f["/entry/instrument/detector/pixel_mask"]
        print("mask", mask.dtype.str, mask.compression, *np.unique(mask[()]))
        print("saturation_value", int(f["/entry/instrument/detector/saturation_value"][()]))
        for name, item in f["/entry/instrument/detector/header"].items():
            value = item[()]
            print("header", name, value.decode() if isinstance(value, bytes) else value)
        save(out, data[()])
        np.save(out[:-4] + ".pixel_mask.npy", mask[()].astype("<i4"))
    need("silx")
    import silx.io
    import silx.io.nxdata
    with silx.io.open(path) as f:
        print("silx_nxdata", silx.io.nxdata.is_valid_nxdata(f["/entry/data"]))


def check_json():
    raw = sys.stdin.buffer.read()
    text = raw.decode("utf-8")  # strict: a byte that is not UTF-8 fails here

    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")

    def flatten(prefix, value):
        if isinstance(value, dict):
            for key, item in value.items():
                flatten(f"{prefix}.{key}", item)
        elif isinstance(value, list):
            for index, item in enumerate(value):
                flatten(f"{prefix}[{index}]", item)
        else:
            print(f"{prefix} = {json.dumps(value)}")

    flatten("", json.loads(text, parse_constant=refuse))


def main():
    mode = sys.argv[1]
    if mode == "json":
        check_json()
        return
    path, out = sys.argv[2], sys.argv[3]
    {"fabio": read_fabio, "pycbf": read_pycbf, "h5py": read_h5py}[mode](path, out)


if __name__ == "__main__":
    main()
