-- FSoE frames in EtherCAT process data, for Wireshark and tshark.
--
-- Written by `python -m tamsel.trace wireshark-plugin [DIR]`; Wireshark loads it from its Lua
-- plugin folder, tshark also with `-X lua_script:fsoe.lua`.
--
-- Recordings of tamsel.trace.FrameRecorder: every LRW datagram of a frame whose packet comment
-- reads "master <state>" or "slave <state>" carries one FSoE frame; the events the master
-- recorded (faults it reported, changes of state) are frames of EtherType 0x88B5. Captures of
-- a real bus: set the offsets and lengths of the two FSoE frames in the LRW data (protocol
-- preferences, or `-o fsoe.bus:TRUE -o fsoe.master_offset:4 ...`); datagrams on their way out
-- (working counter 0) carry the master's frame, those that come back the slave's.
--
-- Frames that are not FSoE are left alone.

local fsoe = Proto("fsoe", "FSoE (Fail Safe over EtherCAT)")
local events = Proto("fsoe_event", "FSoE master event")

local COMMANDS = {
    [0x36] = "PROCESS_DATA", [0x2A] = "RESET", [0x4E] = "SESSION",
    [0x64] = "CONNECTION", [0x52] = "PARAMETER", [0x08] = "FAILSAFE_DATA",
}
local LRW = 12
local EVENT_ETHERTYPE = 0x88B5

local f = fsoe.fields
f.direction = ProtoField.string("fsoe.direction", "Direction")
f.state = ProtoField.string("fsoe.state", "Master state")
f.command = ProtoField.string("fsoe.command", "Command")
f.command_code = ProtoField.uint8("fsoe.command_code", "Command code", base.HEX)
f.data = ProtoField.bytes("fsoe.data", "Safe data")
f.crc = ProtoField.uint16("fsoe.crc", "CRC", base.HEX)
f.connection_id = ProtoField.uint16("fsoe.connection_id", "Connection id", base.HEX)
f.reported = ProtoField.string("fsoe.reported", "Reported by the master")

local reported_expert = ProtoExpert.new("fsoe.reported.expert", "The master reported a fault on this frame",
                                        expert.group.PROTOCOL, expert.severity.WARN)
fsoe.experts = { reported_expert }

local ef = events.fields
ef.kind = ProtoField.string("fsoe_event.kind", "Kind")
ef.transition = ProtoField.string("fsoe_event.transition", "Transition")
ef.message = ProtoField.string("fsoe_event.message", "Message")
ef.previous = ProtoField.string("fsoe_event.previous", "Previous state")
ef.state = ProtoField.string("fsoe_event.state", "State")

local fault_expert = ProtoExpert.new("fsoe_event.fault", "FSoE master fault", expert.group.PROTOCOL,
                                     expert.severity.WARN)
events.experts = { fault_expert }

fsoe.prefs.bus = Pref.bool("Decode captures of a real bus", false,
                           "Look for FSoE frames at the offsets below in every LRW datagram")
fsoe.prefs.master_offset = Pref.uint("Master frame offset", 0, "Byte offset of the master's FSoE frame in the LRW data")
fsoe.prefs.master_length = Pref.uint("Master frame length", 7, "Length of the master's FSoE frame in bytes")
fsoe.prefs.slave_offset = Pref.uint("Slave frame offset", 0, "Byte offset of the slave's FSoE frame in the LRW data")
fsoe.prefs.slave_length = Pref.uint("Slave frame length", 7, "Length of the slave's FSoE frame in bytes")

local ecat_cmd = Field.new("ecat.cmd")
local ecat_data = Field.new("ecat.data")
local frame_comment = Field.new("frame.comment")

-- The byte image lengths of FSoE frames: 3 (no safe data), 6 (one byte), 4k + 3 (2k bytes).
local function is_frame_length(length)
    return length == 3 or length == 6 or (length >= 7 and length <= 35 and (length - 3) % 4 == 0)
end

local function hex(raw)
    return (raw:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

-- "<direction> <state>[ reported <transition>]" of a recording's frame, or nil.
local function recording_comment()
    local fields = { frame_comment() }
    for _, field in ipairs(fields) do
        local direction, state, rest = tostring(field.value):match("^(%a+) (%a+)(.*)$")
        if direction == "master" or direction == "slave" then
            return direction, state, rest:match("^ reported (%S+)")
        end
    end
    return nil
end

-- Adds the FSoE frame in `range` to the tree; returns the info text.
local function add_frame(tree, range, direction, state, reported)
    local length = range:len()
    local code = range(0, 1):uint()
    local command = COMMANDS[code] or string.format("UNKNOWN(0x%02X)", code)
    local slots = length == 6 and 1 or math.floor((length - 3) / 4)
    local data, crcs = {}, {}
    for j = 0, slots - 1 do
        local at = 1 + 4 * j
        data[#data + 1] = range(at, length == 6 and 1 or 2):raw()
        crcs[#crcs + 1] = range(length == 6 and 2 or at + 2, 2)
    end
    local id_range = range(length - 2, 2)
    local safe = table.concat(data)

    local subtree = tree:add(fsoe, range)
    if direction then subtree:add(f.direction, direction) end
    if state then subtree:add(f.state, state) end
    subtree:add(f.command, range(0, 1), command)
    subtree:add(f.command_code, range(0, 1))
    if #safe > 0 then
        -- The safe data lie between the CRCs; the field shows them joined, as a data source of
        -- their own.
        subtree:add(f.data, ByteArray.new(hex(safe)):tvb("FSoE safe data")())
    end
    for slot, crc in ipairs(crcs) do
        subtree:add_le(f.crc, crc):append_text(string.format(" (slot %d)", slot - 1))
    end
    subtree:add_le(f.connection_id, id_range)
    if reported then
        subtree:add(f.reported, reported)
        subtree:add_proto_expert_info(reported_expert, "The master reported " .. reported .. " on this frame")
    end
    local info = string.format("FSoE %s%s %s conn 0x%04x data %s", direction or "", state and " " .. state or "",
                               command, id_range:le_uint(), #safe > 0 and hex(safe) or "-")
    subtree:append_text(": " .. info:sub(6))
    return info
end

-- The data of the datagram whose command field is `cmd`, from the fields the EtherCAT
-- dissector made (nil for a datagram without data).
local function datagram_data(cmd, datas)
    for _, data in ipairs(datas) do
        if data.offset == cmd.offset + 10 then return data.range end
    end
    return nil
end

function fsoe.dissector(tvb, pinfo, tree)
    local cmds = { ecat_cmd() }
    if #cmds == 0 then return end
    local datas = { ecat_data() }
    local direction, state, reported = recording_comment()
    local infos = {}
    for _, cmd in ipairs(cmds) do
        local data = cmd.value == LRW and datagram_data(cmd, datas)
        if data then
            if direction then
                if is_frame_length(data:len()) then
                    infos[#infos + 1] = add_frame(tree, data, direction, state, reported)
                end
            elseif fsoe.prefs.bus then
                -- The working counter follows the data; a datagram on its way out has 0.
                local tvb_end = data:offset() + data:len()
                local outgoing = tvb_end + 2 <= tvb:len() and tvb(tvb_end, 2):le_uint() == 0
                local offset = outgoing and fsoe.prefs.master_offset or fsoe.prefs.slave_offset
                local length = outgoing and fsoe.prefs.master_length or fsoe.prefs.slave_length
                if is_frame_length(length) and offset + length <= data:len()
                    and COMMANDS[data(offset, 1):uint()] then
                    infos[#infos + 1] = add_frame(tree, data(offset, length), outgoing and "master" or "slave")
                end
            end
        end
    end
    if #infos > 0 then
        pinfo.cols.protocol = "FSoE"
        pinfo.cols.info = table.concat(infos, "; ")
    end
end

register_postdissector(fsoe)

-- "fault <transition> <message>" or "state <previous> <state>", NUL padded.
function events.dissector(tvb, pinfo, tree)
    local text = tvb:raw():gsub("\0+$", "")
    local kind, first, rest = text:match("^(%a+) (%S+) ?(.*)$")
    if kind ~= "fault" and kind ~= "state" then return 0 end
    local subtree = tree:add(events, tvb())
    subtree:add(ef.kind, kind)
    local info
    if kind == "fault" then
        subtree:add(ef.transition, first)
        subtree:add(ef.message, rest)
        subtree:add_proto_expert_info(fault_expert, first .. ": " .. rest)
        info = "FSoE master reported " .. first .. ": " .. rest
    else
        subtree:add(ef.previous, first)
        subtree:add(ef.state, rest)
        info = "FSoE master state " .. first .. " -> " .. rest
    end
    subtree:append_text(": " .. info:sub(13))
    pinfo.cols.protocol = "FSoE"
    pinfo.cols.info = info
    return tvb:len()
end

DissectorTable.get("ethertype"):add(EVENT_ETHERTYPE, events)
