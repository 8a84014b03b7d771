-- Control flow: 1 million calls that leave by return.
local function clamp(n)
  if n > 50 then return 50 end
  return n
end

local total = 0
for i = 0, 999999 do total = total + clamp(i % 100) end
print(total)
