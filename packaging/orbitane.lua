-- Wireshark dissector for captures of the robot base's control bus, as
-- `orbitane_console --capture FILE` writes them.
--
-- The capture's link type is DLT_USER0 (147). Each packet is one direction
-- byte (0: host -> base, 1: base -> host) and then the bytes of one frame
-- as they went over the line: flags (0x10, or 0x50 with a 2-byte length),
-- length (command + payload, little-endian), command, payload, and the XOR
-- checksum of every byte before it. Bytes the console skipped (noise, or a
-- frame start it gave up when the line fell quiet) are a packet of their
-- own with the direction byte 2 (older captures: 1, and no frame start).
--
-- Answers carry no request number. Each answer is paired with its request
-- by the console's own rule (docs/safety.md, "Which answer belongs to which
-- request"), with the capture's times standing in for the console's clock:
-- an answer belongs to the oldest request still owed one. A request whose
-- time-out (the preference, 1 s by default) passed without its answer owes
-- it until 3 s after it was written (its time-out plus 2 s, at least 3 s);
-- an answer that comes meanwhile is that request's, late, and the console
-- drops it. An answer of a size the owed request cannot have, while the
-- request after it has exactly that size, is the later one's: the owed
-- answer was lost. A bad frame or an error answer fits every request. An
-- earlier stop's answer, while a stop is awaited, confirms the awaited one.
-- The pairs are linked both ways ("Response in", "Request in") with the
-- response time, as Wireshark's request/response dissectors show them;
-- `tshark -2` shows "Response in" on requests, since it is found later.
--
-- Expert info marks bad checksums, late answers, answers nothing awaited
-- and the base's refusals (with its error code). `tshark -z orbitane,srt`
-- prints the service response times per request.
--
-- Installed where Wireshark looks for global Lua plugins; for a one-off use:
--   tshark -X lua_script:orbitane.lua -r FILE -V

local p = Proto("orbitane", "Orbitane control bus")

local directions = { [0] = "host -> base", [1] = "base -> host", [2] = "base -> host, outside any frame" }
local commands = { [0x00] = "synchronisation", [0xF8] = "control-bus request", [0x02] = "answer, carried out",
                   [0x03] = "answer, refused" }
local requests = {
    [0x10] = "connect", [0x20] = "getConfig", [0x21] = "getBinaryConfig", [0x30] = "getStatus",
    [0x31] = "getMotorData", [0x32] = "getSensorData", [0x33] = "getBumperData", [0x34] = "getAutoHomeData",
    [0x40] = "setMotor", [0x41] = "setVelocity", [0x50] = "pollCommand", [0x5F] = "answerGetInfo",
    [0x60] = "sendEvent",
}
-- The payload size of each request's answer, as the console expects it
-- (absent: any size).
local answer_sizes = {
    [0x10] = 28, [0x20] = 264, [0x30] = 2, [0x31] = 9, [0x32] = 64, [0x33] = 4, [0x34] = 5,
    [0x40] = 0, [0x41] = 13, [0x50] = 1, [0x5F] = 0, [0x60] = 0,
}
local errors = { [0x8000] = "not supported", [0x0001] = "bad request" }

-- How long the console waits for an answer, and how long after its request
-- a missing answer stays owed.
local SETTLE = 2.0
local LAPSE = 3.0
-- Bytes of the binary configuration the console reads at most.
local BINARY_CONFIG_CAPACITY = 2048

p.prefs.timeout_ms = Pref.uint("Request time-out (ms)", 1000,
    "How long the console waited for each answer (1000 ms; drive waits less for its periodic requests)")

local f = {
    direction = ProtoField.uint8("orbitane.direction", "Direction", base.DEC, directions),
    flags = ProtoField.uint8("orbitane.flags", "Flags", base.HEX),
    length = ProtoField.uint16("orbitane.length", "Length", base.DEC),
    command = ProtoField.uint8("orbitane.command", "Command", base.HEX, commands),
    checksum = ProtoField.uint8("orbitane.checksum", "Checksum", base.HEX),
    checksum_ok = ProtoField.bool("orbitane.checksum_ok", "Checksum matches"),
    skipped = ProtoField.bytes("orbitane.skipped", "Bytes skipped before a frame start"),
    payload = ProtoField.bytes("orbitane.payload", "Payload"),
    request = ProtoField.uint8("orbitane.request", "Request", base.HEX, requests),
    answer_to = ProtoField.uint8("orbitane.answer_to", "Answer to", base.HEX, requests),
    error = ProtoField.uint16("orbitane.error", "Error code", base.HEX, errors),
    -- pairing
    response_in = ProtoField.framenum("orbitane.response_in", "Response in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("orbitane.request_in", "Request in", base.NONE, frametype.REQUEST),
    response_time = ProtoField.relative_time("orbitane.response_time", "Response time"),
    fate = ProtoField.string("orbitane.fate", "Taken by the console as"),
    -- requests
    connect_arg = ProtoField.uint8("orbitane.connect.argument", "Connect argument", base.HEX),
    left_speed = ProtoField.int32("orbitane.set_motor.left", "Left wheel speed", base.DEC),
    right_speed = ProtoField.int32("orbitane.set_motor.right", "Right wheel speed", base.DEC),
    reserved = ProtoField.int32("orbitane.set_motor.reserved", "Reserved", base.DEC),
    vx = ProtoField.double("orbitane.set_velocity.vx", "vx"),
    vy = ProtoField.double("orbitane.set_velocity.vy", "vy"),
    omega = ProtoField.double("orbitane.set_velocity.omega", "omega"),
    event = ProtoField.uint8("orbitane.event", "Event code", base.DEC),
    info_flag = ProtoField.uint8("orbitane.info.flag", "Info flag", base.DEC),
    device = ProtoField.string("orbitane.info.device", "Device name"),
    address = ProtoField.string("orbitane.info.address", "Host address"),
    -- answers
    model = ProtoField.string("orbitane.model", "Model"),
    firmware = ProtoField.string("orbitane.firmware", "Firmware version"),
    hardware = ProtoField.string("orbitane.hardware", "Hardware version"),
    serial = ProtoField.string("orbitane.serial", "Serial number"),
    battery = ProtoField.uint8("orbitane.status.battery", "Battery", base.DEC),
    charging = ProtoField.uint8("orbitane.status.charging_flags", "Charging flags", base.HEX),
    charging_on = ProtoField.bool("orbitane.status.charging", "Charging", 8, nil, 0x01),
    cable = ProtoField.bool("orbitane.status.cable", "Cable connected", 8, nil, 0x02),
    on_base = ProtoField.bool("orbitane.status.on_base", "On the charging base", 8, nil, 0x04),
    left_odo = ProtoField.int32("orbitane.motor.left_odometry", "Left wheel odometry", base.DEC),
    right_odo = ProtoField.int32("orbitane.motor.right_odometry", "Right wheel odometry", base.DEC),
    motor_state = ProtoField.uint8("orbitane.motor.state", "Motor state", base.DEC),
    distance = ProtoField.double("orbitane.sensor.distance", "Distance"),
    bumper = ProtoField.uint32("orbitane.bumper.bits", "Bumper and cliff bits", base.HEX),
    beacons = ProtoField.uint8("orbitane.autohome.beacons", "Beacon count", base.DEC),
    probes = ProtoField.uint8("orbitane.autohome.probes", "Probe count", base.DEC),
    probe = ProtoField.uint8("orbitane.autohome.probe", "Probe beacons", base.HEX),
    dx = ProtoField.double("orbitane.velocity.dx", "dx"),
    dy = ProtoField.double("orbitane.velocity.dy", "dy"),
    dtheta = ProtoField.double("orbitane.velocity.dtheta", "dtheta"),
    velocity_state = ProtoField.uint8("orbitane.velocity.state", "Velocity state", base.DEC),
    pending = ProtoField.uint8("orbitane.poll.pending", "Pending base command", base.HEX, { [0x51] = "get info" }),
    base_type = ProtoField.uint8("orbitane.config.base_type", "Base type", base.DEC, { [0] = "round" }),
    radius = ProtoField.double("orbitane.config.radius", "Radius"),
    motor_type = ProtoField.uint8("orbitane.config.motor_type", "Motor type", base.DEC, { [0] = "two wheels" }),
    sensor_count = ProtoField.uint8("orbitane.config.sensors", "Distance sensors", base.DEC),
    bumper_count = ProtoField.uint8("orbitane.config.bumpers", "Bumper and cliff sensors", base.DEC),
    entry_x = ProtoField.double("orbitane.config.x", "x"),
    entry_y = ProtoField.double("orbitane.config.y", "y"),
    entry_z = ProtoField.double("orbitane.config.z", "z"),
    entry_yaw = ProtoField.double("orbitane.config.yaw", "yaw"),
    binary_config = ProtoField.bytes("orbitane.config.binary", "Binary configuration"),
    config_key = ProtoField.string("orbitane.config.key", "Key"),
    config_value = ProtoField.string("orbitane.config.value", "Value"),
    config_unreadable = ProtoField.string("orbitane.config.unreadable", "Not readable"),
}
p.fields = {}
for _, field in pairs(f) do table.insert(p.fields, field) end

local ef = {
    bad_checksum = ProtoExpert.new("orbitane.expert.bad_checksum", "Bad checksum: the frame is dropped",
        expert.group.CHECKSUM, expert.severity.ERROR),
    late = ProtoExpert.new("orbitane.expert.late_answer", "Late answer: the console drops it",
        expert.group.SEQUENCE, expert.severity.WARN),
    unmatched = ProtoExpert.new("orbitane.expert.unmatched_answer",
        "Answer that no request awaited or owed: the console drops it", expert.group.SEQUENCE, expert.severity.WARN),
    refused = ProtoExpert.new("orbitane.expert.refused", "The base refused the request",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    short = ProtoExpert.new("orbitane.expert.short", "Frame shorter than its length",
        expert.group.MALFORMED, expert.severity.ERROR),
}
p.experts = { ef.bad_checksum, ef.late, ef.unmatched, ef.refused, ef.short }

---------------------------------------------------------------------------
-- Pairing, worked out on the first pass; per frame number:
--   requests: { response = frame, fate = ... }
--   answers:  { request = frame, code = request code, time = seconds, fate = ... }

local paired = {}
local pending = {}  -- requests written and not answered, oldest first

function p.init()
    paired = {}
    pending = {}
end

local function timeout() return p.prefs.timeout_ms / 1000.0 end
local function lapse() return math.max(timeout() + SETTLE, LAPSE) end

-- The request ended without its answer: it is not the latest, its
-- time-out passed before `now`, or an earlier stop's answer confirmed it.
local function owed(i, now)
    return i < #pending or pending[i].ended or now - pending[i].time > timeout()
end

local function forget_lapsed(now)
    local i = 1
    while i <= #pending do
        if owed(i, now) and now - pending[i].time >= lapse() then
            table.remove(pending, i)
        else
            i = i + 1
        end
    end
end

local function only_stops_from(i)
    for j = i, #pending do
        if not pending[j].stop then return false end
    end
    return true
end

local function on_request(number, now, code, stop)
    forget_lapsed(now)
    pending[#pending + 1] = { frame = number, code = code, time = now, size = answer_sizes[code], stop = stop }
    paired[number] = {}
end

-- `good`: the checksum matched; `ok`: the command is the ok answer's.
local function on_answer(number, now, good, ok, size)
    forget_lapsed(now)
    local i = 1
    local fate, request
    while i <= #pending do
        local e = pending[i]
        if not owed(i, now) then
            fate, request = "answer", e
            break
        end
        local last = #pending
        if good and ok and e.stop and pending[last].stop and not owed(last, now) and only_stops_from(i) then
            -- An earlier stop's answer: the awaited stop's own is owed from now on.
            fate, request = "confirms", e
            break
        end
        local fits = not good or not ok or e.size == nil or e.size == size
        local next_one = pending[i + 1]
        if not fits and next_one ~= nil and not next_one.stop and next_one.size == size then
            table.remove(pending, i)  -- its answer was lost
        else
            fate, request = "late", e
            break
        end
    end
    if request == nil then
        paired[number] = { fate = "unasked" }
        return
    end
    for j = 1, #pending do
        if pending[j] == request then
            table.remove(pending, j)
            break
        end
    end
    if fate == "confirms" and #pending > 0 then pending[#pending].ended = true end
    paired[number] = { fate = fate, request = request.frame, code = request.code, time = now - request.time }
    paired[request.frame] = { response = number, fate = fate }
end

local function nstime(seconds)
    local whole = math.floor(seconds)
    return NSTime.new(whole, math.floor((seconds - whole) * 1e9 + 0.5))
end

local fate_texts = {
    answer = "its request's answer",
    confirms = "an earlier stop's late answer, taken as the awaited stop's",
    late = "a late answer, dropped",
    unasked = "an answer no request awaited or owed, dropped",
}

---------------------------------------------------------------------------
-- The binary configuration, decoded as the config command reads it.

local config_keys = {
    [0] = "base", "manufacture_id", "manufacture_name", "model_id", "model_name", "hardware_version", "robot_size",
    "low_battery_percentage_for_charging", "high_battery_percentage_for_charging", "low_battery_auto_homing",
    "sensors", "type", "bumper", "installation_pose", "x", "y", "z", "yaw", "roll", "pitch", "cliff", "sonar",
    "features", "has_ir_docking_tower", "lidar", "id", "motion_plan", "bump_handle_strategy", "default", "stop",
    "side_margin", "docking", "dock_supported", "backward_docking", "docking_method", "landing_offset",
    "laserpattern", "irtower_2p",
}
local CONFIG_MAX_DEPTH = 32

-- A real number as the console writes it: six decimals at most, no
-- trailing zeros, but one after the point.
local function real_text(v)
    local text = string.format("%.6f", v)
    text = text:gsub("0+$", "")
    if text:sub(-1) == "." then text = text .. "0" end
    return text
end

-- A text as the console quotes it: bytes that are not printable ASCII, the
-- quote and the backslash as \xNN.
local function quoted(bytes)
    local out = { '"' }
    for i = 1, #bytes do
        local b = bytes:byte(i)
        if b >= 0x20 and b < 0x7F and b ~= 0x22 and b ~= 0x5C then
            out[#out + 1] = string.char(b)
        else
            out[#out + 1] = string.format("\\x%02X", b)
        end
    end
    out[#out + 1] = '"'
    return table.concat(out)
end

-- Byte order, as the console's decoder keeps an object's members.
local function bytewise_less(a, b)
    local n = math.min(#a, #b)
    for i = 1, n do
        local x, y = a:byte(i), b:byte(i)
        if x ~= y then return x < y end
    end
    return #a < #b
end

-- Decodes the value at `pos` of `r`: the value ({ text = ..., at, len } for
-- a leaf, { items = ... } for an array, { members = ... } for an object)
-- and the position after it, or nil when the bytes are no value.
local function decode_value(r, pos, depth)
    local n = r:len()
    if pos >= n then return nil end
    local tag = r(pos, 1):uint()
    local at = pos
    pos = pos + 1
    local function need(count) return pos + count <= n end
    local function leaf(text, count) return { text = text, at = at, len = 1 + count }, pos + count end
    if tag == 0x00 then return leaf("null", 0) end
    if tag == 0x60 then return leaf("true", 0) end
    if tag == 0x61 then return leaf("false", 0) end
    local widths = { [0x10] = 1, [0x11] = 2, [0x12] = 4, [0x13] = 8, [0x18] = 1, [0x19] = 2, [0x1A] = 4, [0x1B] = 8,
                     [0x20] = 4, [0x21] = 8 }
    local width = widths[tag]
    if width ~= nil then
        if not need(width) then return nil end
        local v = r(pos, width)
        local text
        if tag == 0x20 or tag == 0x21 then
            text = real_text(v:le_float())
        elseif tag == 0x12 or tag == 0x13 then
            text = tostring(r(pos, 4):le_uint())  -- the low 32 bits
        elseif tag == 0x1A or tag == 0x1B then
            text = tostring(r(pos, 4):le_int())
        elseif tag >= 0x18 then
            text = tostring(v:le_int())
        else
            text = tostring(v:le_uint())
        end
        return leaf(text, width)
    end
    if tag == 0x30 then
        if not need(1) then return nil end
        local length = r(pos, 1):uint()
        if not need(1 + length) then return nil end
        local bytes = length > 0 and r(pos + 1, length):raw() or ""
        local value = { text = quoted(bytes), at = at, len = 2 + length, string = true }
        return value, pos + 1 + length
    end
    if tag == 0x31 then
        if not need(1) then return nil end
        local key = config_keys[r(pos, 1):uint()]
        if key == nil then return nil end
        return leaf(quoted(key), 1)
    end
    if tag == 0x40 or tag == 0x50 then
        if depth >= CONFIG_MAX_DEPTH or not need(1) then return nil end
        local count = r(pos, 1):uint()
        pos = pos + 1
        local value = { at = at }
        if tag == 0x40 then
            value.items = {}
            for i = 1, count do
                local item
                item, pos = decode_value(r, pos, depth + 1)
                if item == nil then return nil end
                value.items[i] = item
            end
        else
            value.members = {}
            for _ = 1, count do
                if not need(1) then return nil end
                local key = config_keys[r(pos, 1):uint()]
                if key == nil then return nil end
                local member
                member, pos = decode_value(r, pos + 1, depth + 1)
                if member == nil then return nil end
                value.members[key] = member  -- a repeated key: the last one counts
            end
        end
        value.len = pos - at
        return value, pos
    end
    return nil
end

-- Every leaf with its path ("base.sensors.0.id"), members in byte order of
-- their names, array elements by index.
local function config_leaves(value, path, out)
    local prefix = path == "" and "" or path .. "."
    if value.items ~= nil and #value.items > 0 then
        for i, item in ipairs(value.items) do config_leaves(item, prefix .. tostring(i - 1), out) end
    elseif value.members ~= nil and next(value.members) ~= nil then
        local names = {}
        for name in pairs(value.members) do names[#names + 1] = name end
        table.sort(names, bytewise_less)
        for _, name in ipairs(names) do config_leaves(value.members[name], prefix .. name, out) end
    else
        local text = value.text
        if value.items ~= nil then text = "[]" elseif value.members ~= nil then text = "{}" end
        out[#out + 1] = { path = path, text = text, at = value.at, len = value.len }
    end
    return out
end

local function binary_config(tree, payload)
    local item = tree:add(f.binary_config, payload)
    local n = payload:len()
    local read = math.min(n, BINARY_CONFIG_CAPACITY)
    local value, after = nil, nil
    if read > 0 then value, after = decode_value(payload(0, read), 0, 0) end
    if value == nil or after ~= read then
        local why = n > read and string.format("config reads its first %d bytes only", read)
            or "not readable as a configuration"
        item:add(f.config_unreadable, payload, why):set_generated()
        return "binary configuration, " .. (n > read and "not readable: " .. why or why)
    end
    local pairs_text = {}
    for _, leaf in ipairs(config_leaves(value, "", {})) do
        local entry = item:add(f.config_key, payload(leaf.at, leaf.len), leaf.path)
        entry:set_text(leaf.path .. "=" .. leaf.text)
        entry:add(f.config_value, payload(leaf.at, leaf.len), leaf.text)
        pairs_text[#pairs_text + 1] = leaf.path .. "=" .. leaf.text
    end
    return "binary configuration: " .. table.concat(pairs_text, ", ")
end

---------------------------------------------------------------------------
-- Records.

local function q16(range) return range:le_int() / 65536.0 end
local function q8(range) return range:le_int() / 256.0 end

local function add_with_unit(tree, field, range, value, unit)
    local item = tree:add(field, range, value)
    item:append_text(" " .. unit)
    return item
end

local function version(range)
    local v = range:le_uint()
    return string.format("%d.%d", math.floor(v / 256), v % 256)
end

local function identity(tree, payload)
    tree:add(f.model, payload(0, 12), payload(0, 12):stringz())
    tree:add(f.firmware, payload(12, 2), version(payload(12, 2)))
    tree:add(f.hardware, payload(14, 2), version(payload(14, 2)))
    tree:add(f.serial, payload(16, 12), string.format("%08X%08X%08X", payload(16, 4):le_uint(),
        payload(20, 4):le_uint(), payload(24, 4):le_uint()))
end

local function sensor_entry(tree, range, label)
    local entry = tree:add(p, range, label)
    add_with_unit(entry, f.entry_x, range(0, 4), q8(range(0, 4)), "mm")
    add_with_unit(entry, f.entry_y, range(4, 4), q8(range(4, 4)), "mm")
    add_with_unit(entry, f.entry_z, range(8, 4), q8(range(8, 4)), "mm")
    add_with_unit(entry, f.entry_yaw, range(12, 4), range(12, 4):le_uint() / 256.0, "deg")
end

-- The request a stop is: both wheel speeds, or the whole velocity, zero.
local function is_stop(code, payload)
    local n = payload:len() - 1
    if code == 0x40 and n >= 8 then return payload(1, 4):le_int() == 0 and payload(5, 4):le_int() == 0 end
    if code == 0x41 and n >= 12 then
        return payload(1, 4):le_int() == 0 and payload(5, 4):le_int() == 0 and payload(9, 4):le_int() == 0
    end
    return false
end

local function dissect_request(tree, payload)
    local code = payload(0, 1):uint()
    tree:add(f.request, payload(0, 1))
    local name = requests[code] or string.format("unknown request 0x%02X", code)
    local info = name
    local n = payload:len() - 1
    if n <= 0 then return code, info end
    local args = payload(1, n)
    if code == 0x40 and n == 16 then
        add_with_unit(tree, f.left_speed, args(0, 4), args(0, 4):le_int(), "mm/s")
        add_with_unit(tree, f.right_speed, args(4, 4), args(4, 4):le_int(), "mm/s")
        tree:add_le(f.reserved, args(8, 4))
        tree:add_le(f.reserved, args(12, 4))
        info = string.format("%s left=%d mm/s right=%d mm/s", name, args(0, 4):le_int(), args(4, 4):le_int())
    elseif code == 0x41 and n == 12 then
        add_with_unit(tree, f.vx, args(0, 4), q16(args(0, 4)), "m/s")
        add_with_unit(tree, f.vy, args(4, 4), q16(args(4, 4)), "m/s")
        add_with_unit(tree, f.omega, args(8, 4), q16(args(8, 4)), "rad/s")
        info = string.format("%s vx=%.3f m/s vy=%.3f m/s omega=%.3f rad/s", name, q16(args(0, 4)),
            q16(args(4, 4)), q16(args(8, 4)))
    elseif code == 0x60 and n == 1 then
        tree:add(f.event, args(0, 1))
        info = string.format("%s event=%d", name, args(0, 1):uint())
    elseif code == 0x10 and n == 1 then
        tree:add(f.connect_arg, args(0, 1))
    elseif code == 0x5F and n == 89 then
        identity(tree, args(0, 28))
        tree:add(f.info_flag, args(28, 1))
        tree:add(f.device, args(29, 40), args(29, 40):stringz())
        tree:add(f.address, args(69, 20), args(69, 20):stringz())
    else
        tree:add(f.payload, args)
    end
    return code, info
end

local function dissect_answer(tree, payload, code)
    local n = payload:len()
    local name = requests[code]
    local info = string.format("ok, %d bytes", n)
    if name ~= nil then info = info .. " (" .. name .. ")" end
    if n == 0 then return info end
    if code == 0x30 and n == 2 then
        add_with_unit(tree, f.battery, payload(0, 1), payload(0, 1):uint(), "%")
        local flags = tree:add(f.charging, payload(1, 1))
        flags:add(f.charging_on, payload(1, 1))
        flags:add(f.cable, payload(1, 1))
        flags:add(f.on_base, payload(1, 1))
        info = info .. string.format(": battery %d %%", payload(0, 1):uint())
    elseif code == 0x31 and n == 9 then
        add_with_unit(tree, f.left_odo, payload(0, 4), payload(0, 4):le_int(), "mm")
        add_with_unit(tree, f.right_odo, payload(4, 4), payload(4, 4):le_int(), "mm")
        tree:add(f.motor_state, payload(8, 1))
    elseif code == 0x10 and n == 28 then
        identity(tree, payload)
    elseif code == 0x20 and n == 264 then
        tree:add(f.base_type, payload(0, 1))
        add_with_unit(tree, f.radius, payload(1, 4), payload(1, 4):le_uint() / 256.0, "mm")
        tree:add(f.motor_type, payload(5, 1))
        tree:add(f.sensor_count, payload(6, 1))
        for i = 0, math.min(payload(6, 1):uint(), 8) - 1 do
            sensor_entry(tree, payload(7 + 16 * i, 16), string.format("Distance sensor %d", i))
        end
        tree:add(f.bumper_count, payload(135, 1))
        for i = 0, math.min(payload(135, 1):uint(), 8) - 1 do
            sensor_entry(tree, payload(136 + 16 * i, 16), string.format("Bumper or cliff sensor %d", i))
        end
    elseif code == 0x21 then
        info = info .. ": " .. binary_config(tree, payload)
    elseif code == 0x32 and n == 64 then
        for i = 0, 15 do
            add_with_unit(tree, f.distance, payload(4 * i, 4), payload(4 * i, 4):le_uint() / 65536.0, "mm")
        end
    elseif code == 0x33 and n == 4 then
        tree:add_le(f.bumper, payload(0, 4))
    elseif code == 0x34 and n == 5 then
        tree:add(f.beacons, payload(0, 1))
        tree:add(f.probes, payload(1, 1))
        for i = 2, 4 do tree:add(f.probe, payload(i, 1)) end
    elseif code == 0x41 and n == 13 then
        add_with_unit(tree, f.dx, payload(0, 4), q16(payload(0, 4)), "m")
        add_with_unit(tree, f.dy, payload(4, 4), q16(payload(4, 4)), "m")
        add_with_unit(tree, f.dtheta, payload(8, 4), q16(payload(8, 4)), "deg")
        tree:add(f.velocity_state, payload(12, 1))
    elseif code == 0x50 and n == 1 then
        tree:add(f.pending, payload(0, 1))
    else
        tree:add(f.payload, payload)
    end
    return info
end

-- The pairing of an answer: its fields and expert info, and the words the
-- info column puts before the answer ("late answer (owed to getMotorData),
-- dropped: ").
local function show_answer_pairing(tree, number)
    local pair = paired[number]
    if pair == nil then return "" end
    tree:add(f.fate, fate_texts[pair.fate]):set_generated()
    if pair.request ~= nil then
        tree:add(f.request_in, pair.request):set_generated()
        tree:add(f.answer_to, pair.code):set_generated()
        tree:add(f.response_time, nstime(pair.time)):set_generated()
    end
    local owed = requests[pair.code] or string.format("0x%02X", pair.code or 0)
    if pair.fate == "late" then
        tree:add_proto_expert_info(ef.late, "Late answer (owed to " .. owed .. "): the console drops it")
        return "late answer (owed to " .. owed .. "), dropped: "
    elseif pair.fate == "unasked" then
        tree:add_proto_expert_info(ef.unmatched)
        return "unasked answer, dropped: "
    elseif pair.fate == "confirms" then
        return "late answer of an earlier stop, taken as this stop's: "
    end
    return ""
end

function p.dissector(tvb, pinfo, root)
    if tvb:len() < 1 then return 0 end
    pinfo.cols.protocol = "ORBITANE"
    local tree = root:add(p, tvb())
    local dir = tvb(0, 1):uint()
    tree:add(f.direction, tvb(0, 1))
    local arrow = dir == 0 and "-> " or "<- "
    pinfo.cols.src = dir == 0 and "host" or "base"
    pinfo.cols.dst = dir == 0 and "base" or "host"
    if tvb:len() < 2 then return tvb:len() end
    local frame = tvb(1)
    local flags = frame(0, 1):uint()
    if dir == 2 or (flags ~= 0x10 and flags ~= 0x50) then
        tree:add(f.skipped, frame)
        pinfo.cols.info = arrow .. string.format("%d bytes skipped before a frame start", frame:len())
        return tvb:len()
    end
    tree:add(f.flags, frame(0, 1))
    local header = (flags == 0x50) and 3 or 2
    if frame:len() < header then
        tree:add_proto_expert_info(ef.short)
        return tvb:len()
    end
    local length = (flags == 0x50) and frame(1, 2):le_uint() or frame(1, 1):uint()
    tree:add(f.length, frame(1, header - 1), length)
    if frame:len() < header + length + 1 then
        tree:add_proto_expert_info(ef.short)
        return tvb:len()
    end
    local sum = 0
    for i = 0, header + length - 1 do sum = bit.bxor(sum, frame(i, 1):uint()) end
    local cs = frame(header + length, 1)
    local good = cs:uint() == sum
    if length == 0 then
        tree:add(f.checksum, cs)
        tree:add(f.checksum_ok, good):set_generated()
        pinfo.cols.info = arrow .. "empty frame"
        return tvb:len()
    end
    local command = frame(header, 1):uint()
    tree:add(f.command, frame(header, 1))
    local payload = length > 1 and frame(header + 1, length - 1) or nil
    local payload_size = length - 1
    local now = pinfo.rel_ts  -- seconds since the first packet: a double keeps them to the nanosecond
    local info
    if dir == 1 and (not good or command == 0x02 or command == 0x03) then
        -- An answer, good or not: the console pairs it by its rule.
        if not pinfo.visited then on_answer(pinfo.number, now, good, command == 0x02, payload_size) end
        local before = show_answer_pairing(tree, pinfo.number)
        local pair = paired[pinfo.number] or {}
        if not good then
            tree:add_proto_expert_info(ef.bad_checksum)
            info = string.format("bad checksum, %d bytes dropped", frame:len())
            local owed = requests[pair.code] or string.format("0x%02X", pair.code or 0)
            if pair.fate == "answer" then info = info .. " (the answer to " .. owed .. ")" end
            if pair.fate == "late" then info = info .. " (a late answer, owed to " .. owed .. ")" end
        elseif command == 0x03 then
            local code_text = "no error code"
            if payload ~= nil and payload:len() >= 2 then
                tree:add_le(f.error, payload(0, 2))
                code_text = string.format("error code 0x%04X", payload(0, 2):le_uint())
                if errors[payload(0, 2):le_uint()] ~= nil then
                    code_text = code_text .. " (" .. errors[payload(0, 2):le_uint()] .. ")"
                end
            end
            tree:add_proto_expert_info(ef.refused, "The base refused " ..
                (requests[pair.code] or "the request") .. ": " .. code_text)
            local meaning = payload ~= nil and payload:len() >= 2 and errors[payload(0, 2):le_uint()]
            info = before .. (payload ~= nil and payload:len() >= 2 and
                string.format("error 0x%04X", payload(0, 2):le_uint()) .. (meaning and " (" .. meaning .. ")" or "")
                or "error, " .. code_text)
        else
            local code = pair.fate ~= "unasked" and pair.code or nil
            info = before .. dissect_answer(tree, payload or tvb(0, 0), code)
        end
    elseif not good then
        tree:add_proto_expert_info(ef.bad_checksum)
        info = string.format("bad checksum, %d bytes dropped", frame:len())
    elseif dir == 0 and command == 0xF8 and payload ~= nil then
        local code
        code, info = dissect_request(tree, payload)
        if not pinfo.visited then on_request(pinfo.number, now, code, is_stop(code, payload)) end
        local pair = paired[pinfo.number]
        if pair ~= nil and pair.response ~= nil then
            tree:add(f.response_in, pair.response):set_generated()
            if pair.fate == "late" then tree:add(f.fate, "answered late: its answer was dropped"):set_generated() end
        end
    elseif dir == 0 and command == 0x00 then
        info = string.format("synchronisation message, %d bytes", length - 1)
    else
        info = string.format("command 0x%02X", command)
        if payload ~= nil then tree:add(f.payload, payload) end
    end
    tree:add(f.checksum, cs)
    tree:add(f.checksum_ok, good):set_generated()
    pinfo.cols.info = arrow .. info
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, p)

---------------------------------------------------------------------------
-- Service response times: tshark -q -z orbitane,srt -r FILE

local field_request = Field.new("orbitane.request")
local field_answer_to = Field.new("orbitane.answer_to")
local field_fate = Field.new("orbitane.fate")
local field_response_time = Field.new("orbitane.response_time")

register_stat_cmd_arg("orbitane,srt", function()
    local rows = {}
    local function row(code)
        local name = requests[code] or string.format("0x%02X", code)
        rows[name] = rows[name] or { requests = 0, answers = 0, late = 0, min = nil, max = 0, sum = 0 }
        return rows[name]
    end
    local tap = Listener.new("frame", "orbitane", true)
    function tap.packet()
        local request = field_request()
        if request ~= nil then
            row(request.value).requests = row(request.value).requests + 1
            return
        end
        local answer_to, fate, time = field_answer_to(), field_fate(), field_response_time()
        if answer_to == nil or fate == nil or time == nil then return end
        local r = row(answer_to.value)
        if fate.value == fate_texts.late then
            r.late = r.late + 1
            return
        end
        local ms = (time.value:tonumber()) * 1000.0
        r.answers = r.answers + 1
        r.sum = r.sum + ms
        r.min = r.min == nil and ms or math.min(r.min, ms)
        r.max = math.max(r.max, ms)
    end
    function tap.reset() rows = {} end
    function tap.draw()
        local names = {}
        for name in pairs(rows) do names[#names + 1] = name end
        table.sort(names)
        print("==================================================================================")
        print("Orbitane control bus: service response time per request (the console's pairing)")
        print(string.format("%-16s %8s %8s %6s %10s %10s %10s", "Request", "Requests", "Answers", "Late",
            "Min (ms)", "Avg (ms)", "Max (ms)"))
        for _, name in ipairs(names) do
            local r = rows[name]
            if r.answers > 0 then
                print(string.format("%-16s %8d %8d %6d %10.3f %10.3f %10.3f", name, r.requests, r.answers, r.late,
                    r.min, r.sum / r.answers, r.max))
            else
                print(string.format("%-16s %8d %8d %6d %10s %10s %10s", name, r.requests, r.answers, r.late,
                    "-", "-", "-"))
            end
        end
        print("==================================================================================")
    end
end)
