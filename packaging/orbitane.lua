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
local errors = { [0x8000] = "not supported", [0x0001] = "bad request" }

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
}
p.fields = {}
for _, field in pairs(f) do table.insert(p.fields, field) end

-- The request each answer packet follows, worked out on the first pass.
local answered = {}
local last_request = nil

function p.init()
    answered = {}
    last_request = nil
end

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

local function dissect_request(tree, payload, info)
    local code = payload(0, 1):uint()
    tree:add(f.request, payload(0, 1))
    local name = requests[code] or string.format("unknown request 0x%02X", code)
    info = name
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
    if code ~= nil then tree:add(f.answer_to, code):set_generated() end
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
        tree:add(f.binary_config, payload)
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

function p.dissector(tvb, pinfo, root)
    if tvb:len() < 1 then return 0 end
    pinfo.cols.protocol = "ORBITANE"
    local tree = root:add(p, tvb())
    local dir = tvb(0, 1):uint()
    tree:add(f.direction, tvb(0, 1))
    local arrow = dir == 0 and "-> " or "<- "
    pinfo.cols.src = dir == 0 and "host" or "base"
    pinfo.cols.dst = dir == 0 and "base" or "host"
    local frame = tvb(1)
    local flags = frame(0, 1):uint()
    if dir == 2 or (flags ~= 0x10 and flags ~= 0x50) then
        tree:add(f.skipped, frame)
        pinfo.cols.info = arrow .. string.format("%d bytes skipped before a frame start", frame:len())
        return tvb:len()
    end
    tree:add(f.flags, frame(0, 1))
    local header = (flags == 0x50) and 3 or 2
    local length = (flags == 0x50) and frame(1, 2):le_uint() or frame(1, 1):uint()
    tree:add(f.length, frame(1, header - 1), length)
    if frame:len() < header + length + 1 then
        tree:add_expert_info(PI_MALFORMED, PI_ERROR, "frame shorter than its length")
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
    local info
    if not good then
        info = string.format("bad checksum, %d bytes dropped", frame:len())
    elseif dir == 0 and command == 0xF8 and payload ~= nil then
        local code
        code, info = dissect_request(tree, payload, info)
        if not pinfo.visited then last_request = code end
    elseif dir == 0 and command == 0x00 then
        info = string.format("synchronisation message, %d bytes", length - 1)
    elseif dir == 1 and command == 0x03 and payload ~= nil and payload:len() == 2 then
        tree:add_le(f.error, payload)
        info = string.format("error 0x%04X", payload:le_uint())
    elseif dir == 1 and command == 0x02 then
        if not pinfo.visited then answered[pinfo.number] = last_request end
        info = dissect_answer(tree, payload or tvb(0, 0), answered[pinfo.number])
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
