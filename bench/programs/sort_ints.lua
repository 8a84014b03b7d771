-- Sort 300000 integers, then a checksum of the sorted order.
local seed = 1
local numbers = {}
for i = 0, 299999 do
  seed = (seed * 75 + 74) % 65537
  numbers[#numbers + 1] = seed * 100 + i % 100
end
table.sort(numbers)
local total = 0
for _, n in ipairs(numbers) do total = (total * 31 + n) % 1000003 end
print(numbers[1] .. " " .. numbers[#numbers] .. " " .. total)
