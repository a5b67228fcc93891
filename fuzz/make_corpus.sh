#!/usr/bin/env bash
# Regenerates the seed corpora under fuzz/corpus/ (small files; run by hand, the result is committed).
# Usage: fuzz/make_corpus.sh <build folder with ZR_FUZZ=ON>   (needs python3, zip, rdiff)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
corpus="$here/corpus"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
rm -rf "$corpus"
mkdir -p "$corpus"/{zip_stream,zip_archive,ftp_list,settings,utf,db2_restore} "$work/zips"
mkdir -p "$corpus"/{index_record,delta_patch,delta_signature,filters_stored}

# Archives: Python's zipfile with and without Zip64, Info-ZIP zip (plain, -fz, streamed), our writer.
python3 - "$work/zips" <<'PY'
import sys, zipfile
out = sys.argv[1]
rows = "".join("row %d | value %d\n" % (i, i * 7) for i in range(200)).encode()
with zipfile.ZipFile(out + "/py-deflate.zip", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("a.txt", b"hello, zip\n")
    z.writestr("dir/rows.txt", rows)
    z.writestr("dir/", b"")
with zipfile.ZipFile(out + "/py-stored.zip", "w", zipfile.ZIP_STORED) as z:
    z.writestr("stored.bin", bytes(range(256)))
with zipfile.ZipFile(out + "/py-zip64.zip", "w", zipfile.ZIP_DEFLATED, allowZip64=True) as z:
    with z.open("big.txt", "w", force_zip64=True) as f:
        f.write(rows)
    z.writestr("\u00e9t\u00e9.txt", b"summer")
PY
(cd "$work" && printf 'hello, zip\n' > a.txt && seq 1 300 > rows.txt &&
  zip -q zips/infozip.zip a.txt rows.txt &&
  zip -q -fz zips/infozip-fz.zip a.txt rows.txt &&
  seq 1 500 | zip -q - - > zips/infozip-streamed.zip)
"$build/fuzz/fuzz_make_seeds" "$work/zips"

for f in "$work"/zips/*.zip; do
  name="$(basename "$f" .zip)"
  cp "$f" "$corpus/zip_archive/$name.zip"
  # Stream seeds: a count of piece sizes, the sizes, then the archive.
  { printf '\000'; cat "$f"; } > "$corpus/zip_stream/$name-whole"
  { printf '\003\005\200\377'; cat "$f"; } > "$corpus/zip_stream/$name-pieces"
done
cp "$work/zips/ours-db2.zip" "$corpus/db2_restore/ours-db2.zip"
python3 - "$work/FUZZ.0.DB2INST1.DBPART000.20260101000000.001" <<'PY'
import sys
rows = b"".join(b"row %04d | customer %04d | active\n" % (i, i % 50) for i in range(60))
with open(sys.argv[1], "wb") as f:
    f.write(b"ZRDB2IMG1\nalias FUZZ\nfile %d rows\n" % len(rows) + rows + b"file 3 t1\nabcend\n")
PY
(cd "$work" && zip -q -fz "$corpus/db2_restore/infozip-db2.zip" FUZZ.0.DB2INST1.DBPART000.20260101000000.001)

# FTP listings: the first byte says after how many items the copies are taken.
printf '\002drwxr-xr-x   2 user  group     4096 Jan 10 12:34 docs\r\n-rw-r--r-- 1 user group 123456 Jan 10 2005 report final.txt\r\n-rw-r--r-- 1 1000 2048 Mar 3 2010 data.bin\r\nlrwxrwxrwx 1 u g 1 Jan 10 12:34 x -> y\r\n' > "$corpus/ftp_list/unix"
printf '\001-rwsr-sr-x 1 root wheel 5 Feb 28 23:59 su\n-rw-r--r-- 1 john.doe web-dev 10 Jan 10 2005 index.html\n-rw-r--r-- 1 u g 3000000000 Jan 10 12:34 big\ntotal 12\n' > "$corpus/ftp_list/unix-forms"
printf '\00101-10-12  03:04PM       <DIR>          Reports\r\n01-10-12  03:04PM                 1234 notes.txt\r\n12-31-99  11:59am                    7 old file.txt\r\n' > "$corpus/ftp_list/msdos"

# Settings files.
cat > "$corpus/settings/saved" <<'XML'
<?xml version="1.0"?>
<link>
	<header>
		<related_object>Workstation</related_object>
		<version>7.3.4.12277</version>
	</header>
	<parameters>
		<param name="Name">ws-01</param>
		<param name="CoordinatorHost">coordinator.example</param>
		<param name="CoordinatorPort">1755</param>
		<param name="DebugLevel">1</param>
		<param name="IsSecure">no</param>
		<param name="TempFolder">/var/tmp/</param>
		<param name="EnableCoordinatorAutoSearch">once</param>
		<param name="DisableAuthorization">yes</param>
		<param name="UseDeltaCopying">debug</param>
	</parameters>
</link>
XML
printf '\357\273\277<?xml version="1.0"?>\n<link><header><related_object>Workstation</related_object></header><parameters><param name="Name">\303\251t\303\251 &amp; &lt;x&gt;</param><param name="IsSecure">true</param></parameters></link>\n' > "$corpus/settings/old-version"
printf '<link><parameters><param name="CoordinatorHost">h</param></parameters></link>' > "$corpus/settings/no-name"
python3 -c 'import sys; sys.stdout.buffer.write("<?xml version=\"1.0\" encoding=\"utf-16\"?><link><parameters><param name=\"Name\">wide</param></parameters></link>".encode("utf-16"))' > "$corpus/settings/utf16"

# UTF: the first byte sizes a deliberately small target.
printf '\003plain ascii' > "$corpus/utf/ascii"
printf '\002\303\251t\303\251 \342\202\254 \360\237\230\200 end' > "$corpus/utf/multibyte"
printf '\001ok \300\200 \355\240\200 \364\220\200\200 \370\210\200\200\200 \342\202' > "$corpus/utf/illegal"
printf '\000a,b\\\\c\n\000d' > "$corpus/utf/separators"
# Index records: the first byte sizes the target's reads.
python3 - "$corpus/index_record" <<'PY'
import sys
out = sys.argv[1]
def record(ca="", am="9", bom=True, extra=""):
    text = ('<?xml version="1.0"?>\n<item>\n\t<nm>a.txt</nm>\n\t<tp>128</tp>\n\t<sz>4294967296</sz>\n'
            '\t<cr>-1</cr>\n\t<la>2</la>\n\t<mo>3</mo>\n\t<am>%s</am>\n\t<ca>%s</ca>%s\n</item>\n' % (am, ca, extra))
    return (b"\xef\xbb\xbf" if bom else b"") + text.encode()
seeds = {
    "saved": b"\x00" + record(),
    "pieces": b"\x01" + record("c\xe4 &lt;&amp;&gt;"),
    "large": b"\x07" + record("x" * 1500),
    "no-mask": b"\x00" + record(am=""),
    "not-a-number": b"\x03" + record(am="9x"),
    "utf16": b"\x02" + '<?xml version="1.0" encoding="utf-16"?><item><nm>w</nm><tp>16</tp><sz>0</sz><cr>0</cr><la>0</la><mo>0</mo><am>0</am><ca/></item>'.encode("utf-16"),
}
for name, data in seeds.items():
    open(out + "/" + name, "wb").write(data)
PY

# Delta seeds from rdiff (BLAKE2 signatures, block 2048, strong sum 8, as the agent makes them).
python3 - "$work/delta" <<'PY'
import random, sys, os
os.makedirs(sys.argv[1], exist_ok=True)
r = random.Random(7)
old = bytes(r.getrandbits(8) for _ in range(5000))
new = old[:1000] + b"inserted" * 10 + old[1200:4000] + bytes(b ^ 0x33 for b in old[4000:])
open(sys.argv[1] + "/old", "wb").write(old)
open(sys.argv[1] + "/new", "wb").write(new)
PY
rd="rdiff -H blake2 -R rollsum -b 2048 -S 8 -f"
(cd "$work/delta" && $rd signature old old.sig && $rd delta old.sig new delta &&
  rdiff -H md4 -b 16 -S 4 -f signature old small.sig && rdiff -f delta small.sig new small.delta)
python3 - "$work/delta" "$corpus" <<'PY'
import struct, sys
d, corpus = sys.argv[1], sys.argv[2]
get = lambda n: open(d + "/" + n, "rb").read()
old, new, delta, sig = get("old"), get("new"), get("delta"), get("old.sig")
small_sig, small_delta = get("small.sig"), get("small.delta")
def patch(flags, basis, rest):
    return bytes([flags]) + struct.pack("<H", len(basis)) + basis + rest
seeds = {
    "rdiff-delta": patch(0, old, delta),
    "rdiff-delta-in-place": patch(2 | (3 << 2), old, delta),
    "small-blocks": patch(1 << 2, old, small_delta),
    "cut-delta": patch(0, old, delta[:len(delta) // 2]),
    "made-delta": patch(1 | (5 << 2), old[:3000], new[:3500]),
}
for name, data in seeds.items():
    open(corpus + "/delta_patch/" + name, "wb").write(data)
def signature(flags, piece, offset, s, rest):
    return bytes([flags, piece, offset]) + struct.pack("<H", len(s)) + s + rest
seeds = {
    "rdiff-signature": signature(0, 255, 0, sig, new),
    "small-blocks": signature(0, 3, 0, small_sig, new[:2000]),
    "real-signature": signature(1, 40, 0, old[:3000], new[:3500]),
    "failed-read": signature(2, 1, 3, sig, new[:3000]),
    "refused-write": signature(1 | 4, 100, 2, old[:3000], new[:3000]),
}
for name, data in seeds.items():
    open(corpus + "/delta_signature/" + name, "wb").write(data)
PY

# Filters: bit 0 of the first byte picks the "pack" archive (else "xor" files).
python3 - "$corpus/filters_stored" <<'PY'
import struct, sys
out = sys.argv[1]
def item(name, data):
    return struct.pack("<I", len(name)) + b"".join(struct.pack("<I", ord(c)) for c in name) + struct.pack("<Q", len(data)) + data
record = ('\ufeff<?xml version="1.0"?><item><nm>a.txt</nm><tp>128</tp><sz>5</sz><cr>1</cr><la>2</la>'
          '<mo>3</mo><am>9</am><ca>c</ca></item>').encode()
archive = (item("a.txt", b"hello") + item("docs\\b.bin", bytes(range(40))) + item("docs\\sub\\\u00e9t\u00e9", b"")
           + item(".i\\a.txt.i", record) + item(".i\\.i", record))
open(out + "/pack", "wb").write(b"\x01" + archive)
open(out + "/pack-cut", "wb").write(b"\x01" + archive[:-7])
def stored(name, data):
    return bytes([len(name)]) + name + struct.pack("<H", len(data)) + data
xored = lambda data: bytes(b ^ 0x5a for b in data)
files = (stored(b"a.txt.z", xored(b"hello")) + stored(b".z", b"") + stored(b"plain", b"x")
         + stored(b"d.z\\in.z", xored(b"in")) + stored(b"b.z.z", xored(b"twice")))
open(out + "/xor", "wb").write(b"\x00" + files)
PY

ls -R "$corpus" | wc -l
