-- A board's swupdate_handlers.lua, which SWUpdate loads at start-up from
-- Lua's search path (for example /usr/local/share/lua/5.3/), enabling the
-- kestrel image handler. A board that has its own file adds the dofile line.
dofile("@KESTREL_LUA_HANDLER@")
