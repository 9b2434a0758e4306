-- SWUpdate image handler for image type "kestrel": flashes an H8S firmware
-- image with kestrel, using the board's settings in @KESTREL_CONF@
-- (through kestrel-flash). Enable it from the board's swupdate_handlers.lua:
--
--   dofile("@KESTREL_LUA_HANDLER@")
--
-- and give an image type = "kestrel" in sw-description; a binary image takes
-- its start address from properties = { start = "0x8000" }.
--
-- kestrel runs with -q, so that its log has whole lines (SWUpdate splits on
-- line ends only), and with --events on a pipe, from which the handler takes
-- the percentages it reports and the result. kestrel's own lines are passed on
-- as INFO messages; a failure is reported with kestrel's exit status and its
-- last message.
--
-- With JOURNAL set in the settings (the packaged file sets it), kestrel-flash
-- records the run in kestrel's journal, which keeps its own copy of the image:
-- SWUpdate's temporary file may be gone after a power cut, and
-- kestrel-resume.service completes the upgrade from the copy at the next boot.

require("swupdate")

local FLASH = "@KESTREL_FLASH@"
local CONF = "@KESTREL_CONF@"

-- The share of the image's progress each stage takes, by whether read-back
-- verification runs: { first percent, last percent }.
local SHARES = {
    [false] = { erase = { 0, 5 }, program = { 5, 100 } },
    [true] = { erase = { 0, 5 }, program = { 5, 55 }, verify = { 55, 100 } },
}

local function quote(s)
    return "'" .. s:gsub("'", "'\\''") .. "'"
end

local function field(line, name)
    local v = line:match('"' .. name .. '"%s*:%s*"([^"]*)"')
    if v then
        return v
    end
    return line:match('"' .. name .. '"%s*:%s*([%w%.%-]+)')
end

-- Passes on the complete lines kestrel has written to its log since the last
-- call; keeps a line without its end for the next call. Returns the last
-- line passed on.
local function follow_log(state, final)
    if not state.file then
        state.file = io.open(state.path, "r")
        if not state.file then
            return
        end
    end
    local chunk = state.file:read("a")
    if chunk then
        state.rest = state.rest .. chunk
    end
    for line in state.rest:gmatch("([^\n]*)\n") do
        if line:match("%S") then
            swupdate.info("kestrel: " .. line)
            state.last = line
        end
    end
    state.rest = state.rest:match("[^\n]*$")
    if final and state.rest:match("%S") then
        swupdate.info("kestrel: " .. state.rest)
        state.last = state.rest
        state.rest = ""
    end
end

local function kestrel_handler(image)
    local name = (image.filename or ""):match("[^/]*$")
    if name == "" or name:match("[%c]") then
        swupdate.error("kestrel: unusable image file name '" .. tostring(image.filename) .. "'")
        return 1
    end
    local start = image.properties and image.properties.start
    if start and not tostring(start):match("^%-?%w+$") then
        swupdate.error("kestrel: start address '" .. tostring(start) .. "' is not a number")
        return 1
    end

    local tmpbase = swupdate.tmpdir and swupdate.tmpdir() or "/tmp/"
    local mk = io.popen("mktemp -d " .. quote(tmpbase .. "/kestrel.XXXXXX"))
    local dir = mk and mk:read("l")
    if mk then
        mk:close()
    end
    if not dir or dir == "" then
        swupdate.error("kestrel: cannot make a temporary directory in " .. tmpbase)
        return 1
    end
    local function cleanup()
        os.execute("rm -rf " .. quote(dir))
    end

    -- The file keeps its name: kestrel chooses the format by its ending.
    local path = dir .. "/" .. name
    local err, msg = image:copy2file(path)
    if err ~= 0 then
        swupdate.error("kestrel: cannot store " .. name .. ": " .. tostring(msg))
        cleanup()
        return 1
    end
    if swupdate.is_dryrun and swupdate.is_dryrun() then
        swupdate.info("kestrel: dry run, " .. name .. " not flashed")
        cleanup()
        return 0
    end

    local arg = path
    if start then
        arg = path .. "," .. tostring(start)
    end
    local log = { path = dir .. "/kestrel.log", rest = "" }
    -- Events on descriptor 3, the pipe read here; kestrel's text to the log.
    local cmd = quote(FLASH) .. " -c " .. quote(CONF) .. " --events fd:3 " .. quote(arg)
        .. " 3>&1 >" .. quote(log.path) .. " 2>&1"
    swupdate.info("kestrel: flashing " .. name)
    local pipe = io.popen(cmd, "r")
    if not pipe then
        swupdate.error("kestrel: cannot start " .. FLASH)
        cleanup()
        return 1
    end

    local shares = SHARES[false]
    local reported = -1
    local result_status, failed_stage, journal_state
    for line in pipe:lines() do
        local event = field(line, "event")
        if event == "start" then
            shares = SHARES[line:match('"verify"%s*:%s*true') ~= nil]
        elseif event == "progress" then
            local share = shares[field(line, "stage")]
            local percent = tonumber(field(line, "percent"))
            if share and percent then
                local overall = math.floor(share[1] + (share[2] - share[1]) * percent / 100)
                if overall > reported then
                    reported = overall
                    swupdate.progress_update(overall)
                    swupdate.info("kestrel: progress " .. overall .. " of 100")
                end
            end
        elseif event == "result" then
            result_status = tonumber(field(line, "status"))
            failed_stage = field(line, "failed_stage")
            journal_state = field(line, "journal_state")
        end
        follow_log(log, false)
    end
    local _, how, code = pipe:close()
    follow_log(log, true)
    if log.file then
        log.file:close()
    end
    cleanup()

    local status = code
    if how ~= "exit" then
        status = 128 + (code or 0)
    end
    if status == 0 and result_status == 0 then
        swupdate.info("kestrel: result: " .. name .. " flashed, status 0")
        return 0
    end
    if status == 0 then
        -- kestrel ended well but wrote no result: not a success.
        swupdate.error("kestrel: result: no result from kestrel for " .. name)
        return 1
    end
    swupdate.error(string.format("kestrel: result: status %d%s: %s", status,
        failed_stage and failed_stage ~= "null" and (" at " .. failed_stage) or "",
        log.last or "no message"))
    if journal_state == "pending" then
        swupdate.info("kestrel: the upgrade stays pending in kestrel's journal; "
            .. "kestrel-resume.service completes it at the next boot")
    end
    return 1
end

swupdate.register_handler("kestrel", kestrel_handler, swupdate.HANDLER_MASK.IMAGE_HANDLER)
