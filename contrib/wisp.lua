-- wisp.lua — Wireshark dissector for the WISP file transfer protocol.
--
-- Every UDP datagram between WISPCli and WISPSrv carries one telegram:
--   header   magic "WISP" (4 bytes), version (u16, 6), command (u8)
--   body     one record per command (below)
--   trailer  CRC-32/MPEG-2 over header and body, most significant byte first
-- All other integers are little-endian.
--
-- Install: copy this file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/ on Linux) or load it for one run with
--   tshark -X lua_script:wisp.lua ...
-- The protocol is decoded on UDP port 667 and on the port set in
-- Preferences > Protocols > WISP (tshark: -o wisp.udp_port:6670); any other
-- port can be chosen with Decode As (tshark: -d udp.port==6670,wisp).
--
-- Field names follow the telegram records: wisp.f fragment length, wisp.t
-- update period, wisp.n fragment requests per update, wisp.r resource id,
-- wisp.e result, wisp.p.l / wisp.p.d file length and MD5 digest, wisp.d.d /
-- wisp.d.t file date and time, wisp.ref session reference, wisp.idx fragment
-- index, wisp.set request set, wisp.data fragment data. wisp.req lists every
-- fragment index a data request asks for, so `wisp.req == 17` finds the
-- requests for fragment 17 whatever their base index.
--
-- The extended exchange (-x on both programs): a classic read or write
-- request offers it in the last 8 bytes of its name field ("WXOF" and the
-- bits offered, behind the name's terminator), shown as wisp.offer with
-- wisp.x; the extended records XRdRp, XWrRq, XWrRp carry wisp.x (the bits),
-- the length as a u64 (wisp.l) and wisp.k (the digest is known, 0 or 1);
-- Dgst carries the holder's length and digest, DgRq asks for it.
--
-- The secure mode's telegrams are shown as sealed, with what is visible:
-- the handshake request (HsRq: the client's ephemeral key, the encrypted
-- rest, mac1), the handshake reply (HsRp: the client's session index
-- wisp.sidx, the server's ephemeral key wisp.eph, the encrypted rest) and
-- the sealed telegram (Seal: the receiver's session index, the counter
-- wisp.ctr, the encrypted telegram's length wisp.sealed.len, the tag).

local wisp = Proto("wisp", "WISP File Transfer Protocol")

local DEFAULT_PORT = 667
local LEN_HDR = 7
local LEN_TRL = 4
local LEN_MIN = LEN_HDR + LEN_TRL     -- 11
local LEN_MAX = 1472
local VERSION = 6

local commands = {
  [0] = "Null", [1] = "RdRq", [2] = "RdRp", [3] = "WrRq",
  [4] = "WrRp", [5] = "DatRq", [6] = "DatRp", [7] = "Close",
  [8] = "XRdRp", [9] = "XWrRq", [10] = "XWrRp", [11] = "Dgst", [12] = "DgRq",
}
-- The secure mode's commands.
commands[16], commands[17], commands[18] = "HsRq", "HsRp", "Seal"
-- Their shortest bodies (with an empty telegram inside).
local body_min = { [16] = 125, [17] = 57, [18] = 28 }
local errors = {
  [0] = "errNull", [1] = "errBsy", [2] = "errRID", [3] = "errChk",
}
local trl_status = { [0] = "Bad", [1] = "Good" }

-- Body length per command; a data reply carries 6 header bytes plus 1..1455
-- data bytes (an empty file still has one empty fragment: 6 bytes).
local body_len = { [1] = 133, [2] = 36, [3] = 161, [4] = 8, [5] = 10, [7] = 3,
                   [8] = 45, [9] = 170, [10] = 12, [11] = 26, [12] = 2 }

local f = wisp.fields
f.magic = ProtoField.string("wisp.magic", "Magic")
f.ver   = ProtoField.uint16("wisp.ver", "Version", base.DEC)
f.cmd   = ProtoField.uint8("wisp.cmd", "Command", base.DEC, commands)
f.f     = ProtoField.uint16("wisp.f", "Fragment length", base.DEC)
f.t     = ProtoField.uint16("wisp.t", "Update period (ms)", base.DEC)
f.n     = ProtoField.uint8("wisp.n", "Fragment requests per update", base.DEC)
f.r     = ProtoField.stringz("wisp.r", "Resource id")
f.e     = ProtoField.uint8("wisp.e", "Result", base.DEC, errors)
f.p     = ProtoField.none("wisp.p", "Target")
f.pl    = ProtoField.uint32("wisp.p.l", "File length", base.DEC)
f.pd    = ProtoField.bytes("wisp.p.d", "MD5 digest")
f.d     = ProtoField.none("wisp.d", "File date and time")
f.dd    = ProtoField.int32("wisp.d.d", "Day number", base.DEC)
f.dt    = ProtoField.uint32("wisp.d.t", "Time of day (ms)", base.DEC)
f.ref   = ProtoField.uint16("wisp.ref", "Session reference", base.DEC)
f.idx   = ProtoField.uint32("wisp.idx", "Fragment index", base.DEC)
f.set   = ProtoField.uint32("wisp.set", "Request set", base.HEX)
f.req   = ProtoField.uint32("wisp.req", "Requested fragment", base.DEC)
f.data  = ProtoField.bytes("wisp.data", "Fragment data")
f.dlen  = ProtoField.uint32("wisp.data.len", "Fragment data length", base.DEC)
f.sidx  = ProtoField.uint32("wisp.sidx", "Receiver's session index", base.HEX)
f.ctr   = ProtoField.uint64("wisp.ctr", "Counter", base.DEC)
f.eph   = ProtoField.bytes("wisp.eph", "Ephemeral public key")
f.sealed = ProtoField.bytes("wisp.sealed", "Sealed")
f.slen  = ProtoField.uint32("wisp.sealed.len", "Sealed length", base.DEC)
f.tag   = ProtoField.bytes("wisp.tag", "Authentication tag")
f.mac1  = ProtoField.bytes("wisp.mac1", "mac1")
f.trl   = ProtoField.uint32("wisp.trl", "CRC trailer", base.HEX)
f.trls  = ProtoField.uint8("wisp.trl.status", "CRC trailer status", base.DEC, trl_status)
f.offer = ProtoField.none("wisp.offer", "Offer of the extended exchange")
f.x     = ProtoField.uint32("wisp.x", "Extension bits", base.HEX)
f.l     = ProtoField.uint64("wisp.l", "File length (64 bits)", base.DEC)
f.k     = ProtoField.uint8("wisp.k", "Digest known", base.DEC)
f.g     = ProtoField.bytes("wisp.g", "MD5 digest")

local ex_crc   = ProtoExpert.new("wisp.trl.bad", "Bad CRC trailer",
                                 expert.group.CHECKSUM, expert.severity.ERROR)
local ex_len   = ProtoExpert.new("wisp.len.bad", "Telegram length does not fit the command",
                                 expert.group.MALFORMED, expert.severity.ERROR)
local ex_magic = ProtoExpert.new("wisp.magic.bad", "Magic is not WISP",
                                 expert.group.MALFORMED, expert.severity.ERROR)
local ex_ver   = ProtoExpert.new("wisp.ver.bad", "Unknown protocol version",
                                 expert.group.PROTOCOL, expert.severity.WARN)
local ex_cmd   = ProtoExpert.new("wisp.cmd.bad", "Unknown command",
                                 expert.group.PROTOCOL, expert.severity.WARN)
wisp.experts = { ex_crc, ex_len, ex_magic, ex_ver, ex_cmd }

wisp.prefs.udp_port = Pref.uint("UDP port", DEFAULT_PORT,
  "A second UDP port decoded as WISP (667 is always decoded)")

-- 32-bit operations for Lua 5.1 to 5.4: bit32 where it exists, Wireshark's
-- LuaBitOp otherwise (its results are signed, so they are folded back into
-- 0 .. 2^32-1), the native operators on Lua 5.3 and later.
local band, bxor, lshift, rshift
if bit32 then
  band, bxor, lshift, rshift = bit32.band, bit32.bxor, bit32.lshift, bit32.rshift
elseif bit then
  local M = 4294967296
  band = function(a, b) return bit.band(a, b) % M end
  bxor = function(a, b) return bit.bxor(a, b) % M end
  lshift = function(a, n) return bit.lshift(a, n) % M end
  rshift = function(a, n) return bit.rshift(a, n) % M end
else
  band, bxor, lshift, rshift = load([[
    return function(a, b) return a & b end,
           function(a, b) return a ~ b end,
           function(a, n) return (a << n) & 0xFFFFFFFF end,
           function(a, n) return (a & 0xFFFFFFFF) >> n end]])()
end

-- CRC-32/MPEG-2: polynomial 0x04C11DB7, most significant bit first,
-- initial value 0xFFFFFFFF, no final XOR.
local crc_table = {}
for i = 0, 255 do
  local c = lshift(i, 24)
  for _ = 1, 8 do
    if band(c, 0x80000000) ~= 0 then
      c = bxor(lshift(c, 1), 0x04C11DB7)
    else
      c = lshift(c, 1)
    end
  end
  crc_table[i] = c
end

local function crc32(s, n)
  local crc = 0xFFFFFFFF
  for k = 1, n do
    local i = band(bxor(rshift(crc, 24), s:byte(k)), 0xFF)
    crc = bxor(lshift(crc, 8), crc_table[i])
  end
  return crc
end

-- Day number since 1 January of year 0 (proleptic Gregorian) as YYYY-MM-DD.
local function date_text(dn)
  local z = dn - 719528 + 719468          -- days since 0000-03-01
  local era = math.floor(z / 146097)
  local doe = z - era * 146097
  local yoe = math.floor((doe - math.floor(doe / 1460) + math.floor(doe / 36524)
                          - math.floor(doe / 146096)) / 365)
  local y = yoe + era * 400
  local doy = doe - (365 * yoe + math.floor(yoe / 4) - math.floor(yoe / 100))
  local mp = math.floor((5 * doy + 2) / 153)
  local d = doy - math.floor((153 * mp + 2) / 5) + 1
  local m = mp < 10 and mp + 3 or mp - 9
  if m <= 2 then y = y + 1 end
  return string.format("%04d-%02d-%02d", y, m, d)
end

local function time_text(t)
  if t > 86399999 then return "invalid" end
  return string.format("%02d:%02d:%02d.%03d", math.floor(t / 3600000),
                       math.floor(t / 60000) % 60, math.floor(t / 1000) % 60, t % 1000)
end

local function add_pos(tree, tvb, off)
  local p = tree:add(f.p, tvb(off, 20))
  p:add_le(f.pl, tvb(off, 4))
  p:add(f.pd, tvb(off + 4, 16))
  p:append_text(string.format(": %d bytes, MD5 %s", tvb(off, 4):le_uint(),
                              tostring(tvb(off + 4, 16):bytes()):lower()))
end

local function add_datetime(tree, tvb, off)
  local dn, tm = tvb(off, 4):le_int(), tvb(off + 4, 4):le_uint()
  local d = tree:add(f.d, tvb(off, 8))
  d:add_le(f.dd, tvb(off, 4)):append_text(" (" .. date_text(dn) .. ")")
  d:add_le(f.dt, tvb(off + 4, 4)):append_text(" (" .. time_text(tm) .. ")")
  d:append_text(": " .. date_text(dn) .. " " .. time_text(tm))
end

-- The name field; an offer behind the name's terminator (before byte 120)
-- is shown as such. Returns the name and " offer 0x1" or "".
local function add_rid(tree, tvb, off)
  tree:add(f.r, tvb(off, 128))
  local name = tvb(off, 128):stringz()
  if #name < 120 and tvb(off + 120, 4):string() == "WXOF" then
    local o = tree:add(f.offer, tvb(off + 120, 8))
    o:add_le(f.x, tvb(off + 124, 4))
    return name, string.format(" offer 0x%X", tvb(off + 124, 4):le_uint())
  end
  return name, ""
end

-- The extended records' length, digest-known flag and digest.
local function add_xpos(tree, tvb, off)
  tree:add_le(f.l, tvb(off, 8))
  tree:add(f.k, tvb(off + 8, 1))
  tree:add(f.g, tvb(off + 9, 16))
  return tostring(tvb(off, 8):le_uint64())
end

-- Body decoders: tree, tvb and the body's offset; each returns the text for
-- the Info column.
local bodies = {}

bodies[1] = function(t, b, o)  -- RdRq
  t:add_le(f.f, b(o, 2)); t:add_le(f.t, b(o + 2, 2)); t:add(f.n, b(o + 4, 1))
  local rid, offer = add_rid(t, b, o + 5)
  return string.format("rid '%s' fgl %d dtu %d fpu %d%s", rid,
                       b(o, 2):le_uint(), b(o + 2, 2):le_uint(), b(o + 4, 1):uint(), offer)
end

bodies[2] = function(t, b, o)  -- RdRp
  t:add(f.e, b(o, 1)); t:add_le(f.f, b(o + 1, 2)); t:add_le(f.t, b(o + 3, 2))
  t:add(f.n, b(o + 5, 1)); add_pos(t, b, o + 6); add_datetime(t, b, o + 26)
  t:add_le(f.ref, b(o + 34, 2))
  return string.format("%s ref %d fgl %d dtu %d fpu %d len %d",
                       errors[b(o, 1):uint()] or b(o, 1):uint(), b(o + 34, 2):le_uint(),
                       b(o + 1, 2):le_uint(), b(o + 3, 2):le_uint(), b(o + 5, 1):uint(),
                       b(o + 6, 4):le_uint())
end

bodies[3] = function(t, b, o)  -- WrRq
  t:add_le(f.f, b(o, 2)); t:add_le(f.t, b(o + 2, 2)); t:add(f.n, b(o + 4, 1))
  add_pos(t, b, o + 5); add_datetime(t, b, o + 25)
  local rid, offer = add_rid(t, b, o + 33)
  return string.format("rid '%s' fgl %d dtu %d fpu %d len %d%s", rid,
                       b(o, 2):le_uint(), b(o + 2, 2):le_uint(), b(o + 4, 1):uint(),
                       b(o + 5, 4):le_uint(), offer)
end

bodies[4] = function(t, b, o)  -- WrRp
  t:add(f.e, b(o, 1)); t:add_le(f.f, b(o + 1, 2)); t:add_le(f.t, b(o + 3, 2))
  t:add(f.n, b(o + 5, 1)); t:add_le(f.ref, b(o + 6, 2))
  return string.format("%s ref %d fgl %d dtu %d fpu %d",
                       errors[b(o, 1):uint()] or b(o, 1):uint(), b(o + 6, 2):le_uint(),
                       b(o + 1, 2):le_uint(), b(o + 3, 2):le_uint(), b(o + 5, 1):uint())
end

bodies[5] = function(t, b, o)  -- DatRq
  t:add_le(f.ref, b(o, 2)); t:add_le(f.idx, b(o + 2, 4))
  local base_idx, set = b(o + 2, 4):le_uint(), b(o + 6, 4):le_uint()
  local s = t:add_le(f.set, b(o + 6, 4))
  local count = 0
  for j = 0, 31 do
    if band(set, lshift(1, j)) ~= 0 then
      s:add(f.req, b(o + 6, 4), base_idx + j):set_generated()
      count = count + 1
    end
  end
  s:append_text(string.format(" (%d fragments)", count))
  return string.format("ref %d idx %d set 0x%08X", b(o, 2):le_uint(), base_idx, set)
end

bodies[6] = function(t, b, o, blen)  -- DatRp
  t:add_le(f.ref, b(o, 2)); t:add_le(f.idx, b(o + 2, 4))
  local k = blen - 6
  t:add(f.dlen, k):set_generated()
  if k > 0 then t:add(f.data, b(o + 6, k)) end
  return string.format("ref %d idx %d len %d", b(o, 2):le_uint(), b(o + 2, 4):le_uint(), k)
end

bodies[7] = function(t, b, o)  -- Close
  t:add_le(f.ref, b(o, 2)); t:add(f.e, b(o + 2, 1))
  return string.format("ref %d %s", b(o, 2):le_uint(),
                       errors[b(o + 2, 1):uint()] or b(o + 2, 1):uint())
end

bodies[8] = function(t, b, o)  -- XRdRp
  t:add(f.e, b(o, 1)); t:add_le(f.f, b(o + 1, 2)); t:add_le(f.t, b(o + 3, 2))
  t:add(f.n, b(o + 5, 1)); t:add_le(f.x, b(o + 6, 4))
  local l = add_xpos(t, b, o + 10)
  add_datetime(t, b, o + 35); t:add_le(f.ref, b(o + 43, 2))
  return string.format("%s ref %d fgl %d dtu %d fpu %d x 0x%X len %s known %d",
                       errors[b(o, 1):uint()] or b(o, 1):uint(), b(o + 43, 2):le_uint(),
                       b(o + 1, 2):le_uint(), b(o + 3, 2):le_uint(), b(o + 5, 1):uint(),
                       b(o + 6, 4):le_uint(), l, b(o + 18, 1):uint())
end

bodies[9] = function(t, b, o)  -- XWrRq
  t:add_le(f.f, b(o, 2)); t:add_le(f.t, b(o + 2, 2)); t:add(f.n, b(o + 4, 1))
  t:add_le(f.x, b(o + 5, 4))
  local l = add_xpos(t, b, o + 9)
  add_datetime(t, b, o + 34)
  local rid = add_rid(t, b, o + 42)
  return string.format("rid '%s' fgl %d dtu %d fpu %d x 0x%X len %s known %d", rid,
                       b(o, 2):le_uint(), b(o + 2, 2):le_uint(), b(o + 4, 1):uint(),
                       b(o + 5, 4):le_uint(), l, b(o + 17, 1):uint())
end

bodies[10] = function(t, b, o)  -- XWrRp
  t:add(f.e, b(o, 1)); t:add_le(f.f, b(o + 1, 2)); t:add_le(f.t, b(o + 3, 2))
  t:add(f.n, b(o + 5, 1)); t:add_le(f.x, b(o + 6, 4)); t:add_le(f.ref, b(o + 10, 2))
  return string.format("%s ref %d fgl %d dtu %d fpu %d x 0x%X",
                       errors[b(o, 1):uint()] or b(o, 1):uint(), b(o + 10, 2):le_uint(),
                       b(o + 1, 2):le_uint(), b(o + 3, 2):le_uint(), b(o + 5, 1):uint(),
                       b(o + 6, 4):le_uint())
end

bodies[11] = function(t, b, o)  -- Dgst
  t:add_le(f.ref, b(o, 2)); t:add_le(f.l, b(o + 2, 8)); t:add(f.g, b(o + 10, 16))
  return string.format("ref %d len %s MD5 %s", b(o, 2):le_uint(), tostring(b(o + 2, 8):le_uint64()),
                       tostring(b(o + 10, 16):bytes()):lower())
end

bodies[12] = function(t, b, o)  -- DgRq
  t:add_le(f.ref, b(o, 2))
  return string.format("ref %d", b(o, 2):le_uint())
end

-- The secure mode: everything past the visible fields is encrypted.
local function add_sealed(t, b, o, n)
  t:add(f.slen, n):set_generated()
  if n > 0 then t:add(f.sealed, b(o, n)) end
end

bodies[16] = function(t, b, o, blen)  -- HsRq: e, encrypted static key and payload, mac1
  t:add(f.eph, b(o, 32))
  add_sealed(t, b, o + 32, blen - 32 - 16)
  t:add(f.mac1, b(o + blen - 16, 16))
  return string.format("sealed %d bytes", blen - 48)
end

bodies[17] = function(t, b, o, blen)  -- HsRp: r, e, encrypted payload
  t:add_le(f.sidx, b(o, 4)); t:add(f.eph, b(o + 4, 32))
  add_sealed(t, b, o + 36, blen - 36)
  return string.format("idx 0x%08X sealed %d bytes", b(o, 4):le_uint(), blen - 36)
end

bodies[18] = function(t, b, o, blen)  -- Seal: r, c, encrypted telegram, tag
  t:add_le(f.sidx, b(o, 4)); t:add_le(f.ctr, b(o + 4, 8))
  add_sealed(t, b, o + 12, blen - 28)
  t:add(f.tag, b(o + blen - 16, 16))
  return string.format("idx 0x%08X ctr %s sealed %d bytes", b(o, 4):le_uint(),
                       tostring(b(o + 4, 8):le_uint64()), blen - 28)
end

-- Above 10 fragments per update the programs hand the kernel runs of
-- telegrams of one length (UDP segmentation offload); a capture on the
-- sending host sees such a run as one datagram. The length of its telegrams
-- is where the CRC over the first bytes first closes to 0 (an intact
-- telegram with its trailer leaves 0) such that the run is whole telegrams
-- of it, the last one maybe shorter. 0 when there is no such length.
local function run_len(tvb, len)
  local s = tvb:raw(0, LEN_MAX)
  local crc = 0xFFFFFFFF
  for k = 1, LEN_MAX do
    local i = band(bxor(rshift(crc, 24), s:byte(k)), 0xFF)
    crc = bxor(lshift(crc, 8), crc_table[i])
    if crc == 0 and k >= LEN_MIN and (len % k == 0 or len % k >= LEN_MIN) then return k end
  end
  return 0
end

local dissect_one

function wisp.dissector(tvb, pinfo, tree)
  local len = tvb:captured_len()
  if len > LEN_MAX and len == tvb:reported_length_remaining() then
    local k = run_len(tvb, len)
    if k > 0 then
      local n, info = 0, nil
      for off = 0, len - 1, k do
        local l = math.min(k, len - off)
        dissect_one(tvb(off, l):tvb(), pinfo, tree)
        n = n + 1
        info = info or tostring(pinfo.cols.info)
      end
      pinfo.cols.info = string.format("Run of %d telegrams: %s ...", n, info)
      return len
    end
  end
  return dissect_one(tvb, pinfo, tree)
end

dissect_one = function(tvb, pinfo, tree)
  local len = tvb:captured_len()
  pinfo.cols.protocol = "WISP"
  local root = tree:add(wisp, tvb())

  if len < LEN_MIN or len > LEN_MAX then
    root:add_proto_expert_info(ex_len, string.format("Telegram of %d bytes (%d..%d allowed)",
                                                     len, LEN_MIN, LEN_MAX))
    pinfo.cols.info = string.format("Malformed telegram, %d bytes", len)
    return len
  end

  local magic = tvb(0, 4):string()
  local mi = root:add(f.magic, tvb(0, 4))
  if magic ~= "WISP" then mi:add_proto_expert_info(ex_magic) end
  local ver = tvb(4, 2):le_uint()
  local vi = root:add_le(f.ver, tvb(4, 2))
  if ver ~= VERSION then vi:add_proto_expert_info(ex_ver) end
  local cmd = tvb(6, 1):uint()
  local ci = root:add(f.cmd, tvb(6, 1))
  local name = commands[cmd]
  if not name or cmd == 0 then
    ci:add_proto_expert_info(ex_cmd)
    name = name or string.format("Cmd%d", cmd)
  end
  root:append_text(", " .. name)

  local blen = len - LEN_MIN
  local info = ""
  local want = body_len[cmd]
  local fits = (want and blen == want) or (cmd == 6 and blen >= 6 and blen <= LEN_MAX - LEN_MIN)
  fits = fits or (body_min[cmd] ~= nil and blen >= body_min[cmd])
  if bodies[cmd] and fits then
    info = bodies[cmd](root, tvb, LEN_HDR, blen)
  elseif bodies[cmd] then
    root:add_proto_expert_info(ex_len, string.format("%s body of %d bytes, %s expected", name,
                               blen, want and tostring(want) or
                               (body_min[cmd] and (body_min[cmd] .. "..1461") or "6..1461")))
    info = string.format("body of %d bytes", blen)
  end

  -- Trailer: the CRC of everything before it, stored most significant byte
  -- first; the CRC over the whole telegram is then 0.
  local ti = root:add(f.trl, tvb(len - LEN_TRL, LEN_TRL))
  local calc = crc32(tvb:raw(0, len - LEN_TRL), len - LEN_TRL)
  local good = tvb(len - LEN_TRL, LEN_TRL):uint() == calc
  root:add(f.trls, tvb(len - LEN_TRL, LEN_TRL), good and 1 or 0):set_generated()
  if good then
    ti:append_text(" [correct]")
  else
    ti:append_text(string.format(" [incorrect, should be 0x%08x]", calc))
    ti:add_proto_expert_info(ex_crc)
    info = info .. " [BAD CRC]"
  end

  pinfo.cols.info = name .. (info ~= "" and (" " .. info) or "")
  return len
end

local udp_table = DissectorTable.get("udp.port")
udp_table:add(DEFAULT_PORT, wisp)
udp_table:add_for_decode_as(wisp)

local registered_port = nil
local function register_port()
  if registered_port and registered_port ~= DEFAULT_PORT then
    udp_table:remove(registered_port, wisp)
  end
  registered_port = wisp.prefs.udp_port
  if registered_port ~= 0 and registered_port ~= DEFAULT_PORT then
    udp_table:add(registered_port, wisp)
  end
end

function wisp.prefs_changed()
  register_port()
end

register_port()
