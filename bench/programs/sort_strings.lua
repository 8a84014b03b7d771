-- Sort 200000 lowercase strings, then a checksum of the sorted order.
local letters = "abcdefghijklmnopqrstuvwxyz"
local seed = 1
local names = {}
for i = 1, 200000 do
  seed = (seed * 75 + 74) % 65537
  local size = 3 + seed % 8
  local parts = {}
  for j = 1, size do
    seed = (seed * 75 + 74) % 65537
    local k = seed % 26 + 1
    parts[j] = string.sub(letters, k, k)
  end
  names[i] = table.concat(parts)
end
table.sort(names)
local total = 0
for _, s in ipairs(names) do
  total = (total * 31 + string.byte(s, 1) + #s) % 1000003
end
print(names[1] .. " " .. names[#names] .. " " .. total)
