-- Build a table of 1 million integers (i % 1000), sum it with ipairs.
local b = {}
for i = 1, 1000000 do
  b[#b + 1] = i % 1000
end
local total = 0
for _, x in ipairs(b) do
  total = total + x
end
print(total)
