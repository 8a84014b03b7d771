-- Word count: split a text of 300000 words and count each word in a dictionary.
local letters = "abcdefghijklmnopqrstuvwxyz"
local seed = 1
local function rand()
  seed = (seed * 75 + 74) % 65537
  return seed
end

local vocabulary = {}
for i = 1, 5000 do
  local parts = {}
  for j = 1, 2 + rand() % 6 do
    local k = rand() % 26 + 1
    parts[j] = string.sub(letters, k, k)
  end
  vocabulary[i] = table.concat(parts)
end
local picked = {}
for i = 1, 300000 do picked[i] = vocabulary[(rand() % 100) * (rand() % 50) + 1] end
local text = table.concat(picked, " ")

local counts, distinct = {}, 0
for word in string.gmatch(text, "[^ ]+") do
  local n = counts[word]
  if n then
    counts[word] = n + 1
  else
    counts[word] = 1
    distinct = distinct + 1
  end
end

local total = 0
for word, n in pairs(counts) do total = (total + n * n) % 1000003 end
print(distinct .. " " .. total)
