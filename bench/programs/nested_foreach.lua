-- Nested loops over a list of lists: 2000 rows of 10 numbers, summed 100 times.
local seed = 1
local rows = {}
for i = 1, 2000 do
  local row = {}
  for j = 1, 10 do
    seed = (seed * 75 + 74) % 65537
    row[j] = seed % 100
  end
  rows[i] = row
end

local total, largest = 0, 0
for k = 1, 100 do
  for _, row in ipairs(rows) do
    for _, v in ipairs(row) do
      total = total + v
      if v > largest then largest = v end
    end
  end
end
print(total .. " " .. largest)
