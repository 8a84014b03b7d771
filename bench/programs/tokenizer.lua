-- A tokenizer for a small expression language: identifiers, numbers, operators.
local names = {"alpha", "beta", "x", "y_2", "total", "count", "value", "n"}
local ops = {"+", "-", "*", "/"}
local seed = 1
local function rand()
  seed = (seed * 75 + 74) % 65537
  return seed
end

local parts = {}
for i = 1, 2000 do
  parts[#parts + 1] = names[rand() % 8 + 1] .. " = " .. names[rand() % 8 + 1] .. " " .. ops[rand() % 4 + 1]
    .. " (" .. tostring(rand() % 1000) .. " " .. ops[rand() % 4 + 1] .. " " .. names[rand() % 8 + 1] .. ");\n"
end
local chunk = table.concat(parts)
local text = string.rep(chunk, 10)

local idents, numbers, puncts, ident_chars = 0, 0, 0, 0
local i, n = 1, #text
local byte = string.byte
local a, z, d0, d9, us = byte("a"), byte("z"), byte("0"), byte("9"), byte("_")
local punct = {}
for c in string.gmatch("=+-*/();", ".") do punct[byte(c)] = true end
local space, newline = byte(" "), byte("\n")
while i <= n do
  local c = byte(text, i)
  if (c >= a and c <= z) or c == us then
    local j = i + 1
    while j <= n do
      local d = byte(text, j)
      if not ((d >= a and d <= z) or (d >= d0 and d <= d9) or d == us) then break end
      j = j + 1
    end
    idents = idents + 1
    ident_chars = ident_chars + (j - i)
    i = j
  elseif c >= d0 and c <= d9 then
    local j = i + 1
    while j <= n do
      local d = byte(text, j)
      if d < d0 or d > d9 then break end
      j = j + 1
    end
    numbers = numbers + 1
    i = j
  elseif punct[c] then
    puncts = puncts + 1
    i = i + 1
  elseif c == space or c == newline then
    i = i + 1
  else
    error("bad character " .. string.char(c))
  end
end
print(n .. " " .. idents .. " " .. numbers .. " " .. puncts .. " " .. ident_chars)
