#!/usr/bin/env python3
"""Writes the hand-made seed inputs of every fuzz target into fuzz/corpus/<target>/."""
import os
import struct

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "fuzz", "corpus")


def box(kind, payload=b""):
    return struct.pack(">I", 8 + len(payload)) + kind.encode() + payload


def large_box(kind, payload=b""):
    return struct.pack(">I", 1) + kind.encode() + struct.pack(">Q", 16 + len(payload)) + payload


NRT = (b'<?xml version="1.0" encoding="UTF-8"?>\n'
       b'<NonRealTimeMeta xmlns="urn:schemas-professionalDisc:nonRealTimeMeta:ver.2.20">\n'
       b'  <LtcChangeTable tcFps="50" halfStep="true">\n'
       b'    <LtcChange frameCount="0" value="12345601" status="increment"/>\n'
       b'  </LtcChangeTable>\n'
       b'  <RecordingMode type="normal" cacheRec="true"/>\n'
       b'  <Device manufacturer="Sony" modelName="ILME-FX6V" serialNo="1"/>\n'
       b'  <AcquisitionRecord><Group name="CameraUnitMetadataSet">\n'
       b'    <Item name="CaptureGammaEquation" value="s-log3-cine"/>\n'
       b'    <Item name="CaptureColorPrimaries" value="S-Gamut3.Cine"/>\n'
       b'    <Item name="CodingEquations" value="rec709"/>\n'
       b'  </Group></AcquisitionRecord>\n'
       b'</NonRealTimeMeta>\n')

UL = bytes([0x06, 0x0E, 0x2B, 0x34])


def rtmd_sample():
    def entry(tag, value):
        return struct.pack(">HH", tag, len(value)) + value
    body = (entry(0x8000, b"\x40\x00") + entry(0x8001, b"\x3c\x00") + entry(0x8004, b"\x00\x23") +
            entry(0x8100, UL + bytes([4, 1, 1, 0x0B, 5, 0x10, 1, 1, 1, 1, 0, 0])) +
            entry(0x8109, struct.pack(">II", 1, 50)) + entry(0x810b, struct.pack(">I", 800)) +
            entry(0xe303, b"\x01"))
    return struct.pack(">H", 2) + body + b"\0\0\0\0"


def cndm_sample():
    def item(tag, kind, code):
        return struct.pack(">HH", tag, 16) + UL + bytes(4) + bytes([0x0E, 0x15, 0, kind, code]) + bytes(3)
    value = item(0xe211, 1, 7) + item(0xe212, 2, 2)
    return UL + bytes(12) + bytes([len(value)]) + value


def track(fmt, offset, size, extra_stsd=b""):
    stsd = struct.pack(">II", 0, 1) + struct.pack(">I", 16 + len(extra_stsd)) + fmt.encode() + \
        bytes(8) + extra_stsd
    stbl = box("stsd", stsd) + box("stsz", struct.pack(">III", 0, 0, 1) + struct.pack(">I", size)) + \
        box("stco", struct.pack(">II", 0, 1) + struct.pack(">I", offset))
    hdlr = box("hdlr", bytes(8) + b"meta" + bytes(12))
    return box("trak", box("mdia", hdlr + box("minf", box("stbl", stbl))))


def container(samples):
    """An ftyp, a moov with one track per sample and an mdat holding the samples."""
    ftyp = box("ftyp", b"isom" + bytes(4) + b"isommp41")
    # Two passes: the offsets depend on the moov's size, which does not depend on them.
    moov = box("moov", b"".join(track(f, 0, len(s)) for f, s in samples))
    base = len(ftyp) + len(moov) + 8
    tracks, at = [], base
    for f, s in samples:
        tracks.append(track(f, at, len(s)))
        at += len(s)
    moov = box("moov", b"".join(tracks))
    return ftyp + moov + box("mdat", b"".join(s for _, s in samples))


def mxf_header(data):
    """The beginning of an MXF file up to the end of its header metadata."""
    def ber(at):
        if data[at] < 0x80:
            return data[at], at + 1
        n = data[at] & 0x7F
        return int.from_bytes(data[at + 1:at + 1 + n], "big"), at + 1 + n
    length, value = ber(16)  # the header partition pack at 0
    header_bytes = int.from_bytes(data[value + 32:value + 40], "big")
    at = value + length
    while data[at + 8:at + 12] == bytes([0x03, 0x01, 0x02, 0x10]):  # fill before the primer
        length, value = ber(at + 16)
        at = value + length
    return data[:at + header_bytes]


def mxf_seeds():
    formats = os.path.join(ROOT, "samples", "formats")
    for name in sorted(os.listdir(formats)):
        if name.endswith(".mxf"):
            with open(os.path.join(formats, name), "rb") as f:
                write("mxf", "seed-" + name, mxf_header(f.read()))
    with open(os.path.join(formats, "mpeg2_25p.mxf"), "rb") as f:
        write("mxf", "seed-run-in", b"run-in" * 20 + mxf_header(f.read()))
    write("mxf", "seed-empty", b"")


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    tc = os.path.join(ROOT, "samples", "tc")
    for name in sorted(os.listdir(tc)):
        if name.endswith((".mov", ".mp4")):
            with open(os.path.join(tc, name), "rb") as f:
                write("boxes", "seed-" + name, f.read())
    write("boxes", "seed-sony-canon", container([("rtmd", rtmd_sample()), ("cndm", cndm_sample())]) +
          box("meta", NRT))
    write("boxes", "seed-embedded", box("ftyp", b"isom") + box("moov", box("udta", NRT)))
    write("boxes", "seed-nested", large_box("moov", box("trak", box("mdia", box("minf", box("stbl"))))) +
          struct.pack(">I", 0) + b"free")
    write("boxes", "seed-empty", b"")

    write("nrt", "seed-document", NRT)
    write("nrt", "seed-helpers", b"CaptureGammaEquation\n" + NRT)
    write("nrt", "seed-truncated", NRT[:200])
    write("nrt", "seed-unterminated", b'<NonRealTimeMeta><Device modelName="FX3')

    write("rtmd", "seed-sample", rtmd_sample())
    write("rtmd", "seed-short", b"\x00\x02\x80\x00")
    write("cndm", "seed-sample", cndm_sample())
    long_value = bytes([0x82, 0, 40])
    write("cndm", "seed-long-length", UL + bytes(12) + long_value + cndm_sample()[17:])

    rows = "".join(f"{i},{i*0.1:.3f},0.2,0.3,0,0,1\n" for i in range(25))
    write("gcsv", "seed-log", ("GYROFLOW IMU LOG\nversion,1.3\nid,custom_logger_name\n"
                               "orientation,YxZ\nvendor,potatocam\ntscale,0.001\ngscale,1\n"
                               "ascale,1\nt,gx,gy,gz,ax,ay,az\n" + rows).encode())
    # 0xFF, line, byte: the reader's chunk boundary falls inside the 12th line's first number.
    write("gcsv", "seed-chunk-boundary", bytes([0xFF, 11, 1]) + ("GYROFLOW IMU LOG\ntscale,0.001\n"
                                                             "t,gx,gy,gz,ax,ay,az\n" + rows).encode())
    write("gcsv", "seed-crlf", ("GYROFLOW IMU LOG\r\ntscale,0.01\r\nt,gx,gy,gz\r\n" +
                                rows.replace("\n", "\r\n")).encode())

    raw = (b'[{"SourceFile":"a.mp4","ExifTool:ExifToolVersion":12.6,"QuickTime:Duration":1.5,'
           b'"XML:DeviceModelName":"FX6"},{"SourceFile":"./-b.MOV","File:FileSize":1234}]')
    printed = (b'[{"SourceFile":"a.mp4","ExifTool:ExifToolVersion":"12.60","QuickTime:Duration":"1.50 s",'
               b'"XML:DeviceModelName":"FX6"}]')
    write("exiftool", "seed-two-files", raw + b"\0" + printed + b"\0a.mp4\n-b.MOV\nA.MP4\0")
    write("exiftool", "seed-error", b"\0\0a.mp4\0File not found: a.mp4")
    write("exiftool", "seed-not-started", b"!No such file or directory (os error 2)\0[]\0a.mp4")
    listing = (b'[{"SourceFile":"a.mp4","QuickTime:Duration":{"desc":"Duration","num":1.5,'
               b'"val":"1.50 s"},"XMP-dc:Subject":{"desc":"Subject","val":["one","two"]}},'
               b'{"SourceFile":"a.mp4","File:FileType":{"desc":"File Type","val":"MP4"}},'
               b'{"SourceFile":"B.mov","Composite:Flag":{"num":true,"val":"Yes"},'
               b'"Track1:Rate":{"desc":"Rate","val":25},'
               b'"ExifTool:Error":{"desc":"Error","val":"File is empty"}}]')
    write("exiftool", "seed-listing", listing + b"\0\0a.mp4\nb.mov\na.mp4\0")
    write("exiftool", "seed-bad-json", b'[{"SourceFile":"a.mp4",\0[1,2]\0a.mp4')

    write("cli", "seed-export", b"export\0a.mp4\0--out-dir\0out\0--share\0b.mov")
    write("cli", "seed-extract", b"extract\0c1\0--also\0c2\0--keep\0c1\0--keep\0--share")
    write("cli", "seed-csv", b"resolve-csv\0--out\0--out\0x\0--unique-only\0--confirm")

    mxf_seeds()

    formats = os.path.join(ROOT, "samples", "formats")
    for name in ("mpeg4_25_aacmono.mp4", "mpeg4_25_aac51.mov"):
        with open(os.path.join(formats, name), "rb") as f:
            write("esds", "seed-" + name, f.read())
    # The mono clip's "esds" payload alone: the target reads its input as one too.
    write("esds", "seed-payload", bytes.fromhex(
        "0000000003808080250002000480808017401500000000011cc700011cc7"
        "0580808005118856e500068080800102"))


if __name__ == "__main__":
    main()
