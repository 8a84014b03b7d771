-- Build a string of 1 million characters, one append at a time.
-- Lua strings are immutable and `s = s .. c` would copy the whole string each
-- time, so the idiomatic builder is used: append to a table, concat once.
local t = {}
for i = 1, 1000000 do
  t[#t + 1] = string.char(97 + i % 26)
end
local s = table.concat(t)
print(string.format("%d %s", #s, s:sub(777777, 777777)))
