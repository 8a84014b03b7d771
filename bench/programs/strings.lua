-- Text processing: split lines into words, search, uppercase and replace.
local words = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog",
               "banana", "and", "then", "another", "thing", "in", "a", "tree"}
local seed = 1
local lines = {}
for i = 1, 40000 do
  local parts = {}
  for j = 1, 8 do
    seed = (seed * 75 + 74) % 65537
    parts[j] = words[seed % 16 + 1]
  end
  lines[i] = table.concat(parts, " ")
end

local function split(s, sep)
  local out, start = {}, 1
  while true do
    local i = string.find(s, sep, start, true)
    if not i then
      out[#out + 1] = string.sub(s, start)
      return out
    end
    out[#out + 1] = string.sub(s, start, i - 1)
    start = i + #sep
  end
end

local function count(s, pattern)
  local n, start = 0, 1
  while true do
    local i = string.find(s, pattern, start, true)
    if not i then return n end
    n = n + 1
    start = i + #pattern
  end
end

local total = 0
for _, line in ipairs(lines) do
  local items = split(line, " ")
  total = total + #items
  for _, w in ipairs(items) do
    if string.find(w, "an", 1, true) then total = total + 1 end
  end
  local up = string.upper(line)
  total = total + count(up, "THE")
  local replaced = string.gsub(line, "a", "ab")
  total = total + #replaced
end
print(total)
