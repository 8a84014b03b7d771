-- Takeuchi's function and Ackermann's function: deep recursion over several arguments.
local function tak(x, y, z)
  if y < x then
    return tak(tak(x - 1, y, z), tak(y - 1, z, x), tak(z - 1, x, y))
  end
  return z
end

local function ack(m, n)
  if m == 0 then return n + 1 end
  if n == 0 then return ack(m - 1, 1) end
  return ack(m - 1, ack(m, n - 1))
end

print(tak(24, 16, 8) .. " " .. ack(2, 300) .. " " .. ack(3, 5))
