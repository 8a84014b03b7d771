-- Control flow: 1 million calls that leave early without a value.
local total = 0

local function add_small(n)
  if n > 50 then return end
  total = total + n
end

for i = 0, 999999 do add_small(i % 100) end
print(total)
