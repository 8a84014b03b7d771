-- Write a 20 MB text file and read it back whole and as lines, 5 times.
-- Lua strings are bytes: the length is counted in UTF-8 characters.
local line = "the quick brown fox jumps over the lazy dog, 0123456789 é\n"
local text = string.rep(line, 400000)
math.randomseed(os.time())
local name = string.format("/tmp/zav_bench_files_%d.txt", math.random(1000000000))
local back_text, back_lines
for i = 1, 5 do
  local f = assert(io.open(name, "wb"))
  f:write(text)
  f:close()
  f = assert(io.open(name, "rb"))
  back_text = f:read("a")
  f:close()
  back_lines = {}
  for l in io.lines(name) do back_lines[#back_lines + 1] = l end
end
os.remove(name)
print(utf8.len(back_text) .. " " .. #back_lines)
