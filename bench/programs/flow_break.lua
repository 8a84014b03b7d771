-- Control flow: 1 million searches that leave their loop by break.
local items = {3, 1, 4, 1, 5, 9, 2, 6}

local function position(n)
  local found = 0
  local k = 0
  for _, x in ipairs(items) do
    k = k + 1
    if x == n then
      found = k
      break
    end
  end
  return found
end

local total = 0
for i = 0, 999999 do total = total + position(i % 10) end
print(total)
