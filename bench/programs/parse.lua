-- Parse 10 MB of text with a small grammar.
-- The text is records "name = number;" each on its own line: 1 to 8 lowercase
-- letters, " = ", a number below 100000, ";" and a newline. A chunk of 5000
-- records is generated from a small linear congruential generator, then
-- repeated until the text holds 10 million characters.
-- The scanner applies one Lua pattern per record with string.find, anchored
-- ("^") at the current position, with two captures, like the Zav grammar's
-- "some record" with its two copies; it stops at the first record that does
-- not match and reports whether it reached the end.
local seed = 1
local function next_rand()
  seed = (seed * 75 + 74) % 65537
  return seed
end

local parts = {}
for _ = 1, 5000 do
  for _ = 1, 1 + next_rand() % 8 do
    parts[#parts + 1] = string.char(97 + next_rand() % 26)
  end
  parts[#parts + 1] = " = "
  parts[#parts + 1] = tostring(next_rand() % 100000)
  parts[#parts + 1] = ";\n"
end
local chunk = table.concat(parts)
local pieces = {}
local size = 0
while size < 10000000 do
  pieces[#pieces + 1] = chunk
  size = size + #chunk
end
local text = table.concat(pieces)

local records, letters, digits = 0, 0, 0
local pos, stop = 1, #text
while pos <= stop do
  local _, e, name, num = string.find(text, "^([a-z]+) = ([0-9]+);\n", pos)
  if not e then break end
  records = records + 1
  letters = letters + #name
  digits = digits + #num
  pos = e + 1
end
local complete = (pos > stop and records > 0) and "true" or "false"
print(string.format("%d %d %d %d %s", #text, records, letters, digits, complete))
